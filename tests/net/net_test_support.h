// Helpers shared by the download tests.
#pragma once

#include <cstdlib>
#include <istream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quor::net::testing {

// Sets (or, with nullopt, removes) environment variables for the object's lifetime.
class ScopedEnv {
  public:
    ScopedEnv(std::initializer_list<std::pair<const char*, std::optional<std::string>>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            if (value) {
                ::setenv(name, value->c_str(), 1);
            } else {
                ::unsetenv(name);
            }
        }
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first, it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first);
            }
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

// No proxy from the environment of whoever runs the tests.
inline ScopedEnv withoutProxy() {
    return ScopedEnv{{"http_proxy", std::nullopt},  {"HTTP_PROXY", std::nullopt},
                     {"https_proxy", std::nullopt}, {"HTTPS_PROXY", std::nullopt},
                     {"all_proxy", std::nullopt},   {"ALL_PROXY", std::nullopt},
                     {"no_proxy", std::nullopt},    {"NO_PROXY", std::nullopt}};
}

inline std::string readAll(std::istream& in) {
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace quor::net::testing
