// Small helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quor::fuzz {

inline std::string bytes(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Every byte becomes the character of the same value, the way the installer widens names.
inline std::wstring widen(const std::uint8_t* data, std::size_t size) {
    std::wstring wide;
    wide.reserve(size);
    for (std::size_t i = 0; i < size; ++i)
        wide.push_back(static_cast<wchar_t>(data[i]));
    return wide;
}

}  // namespace quor::fuzz
