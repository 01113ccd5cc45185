// Narrow <-> wide text conversion of the library.
//
// Certificate data are narrow byte strings; texts for the user and the platform are wide. The
// rule is Latin-1: byte n is the character U+00nn and back. A wide character above U+00FF has no
// narrow form and throws std::range_error("bad conversion"). (glibc's "C" facet would reject
// every byte above 127, which would break on the accented names of real certificates.)
#pragma once

#include <string>

namespace quor::signer {

std::wstring toWideText(const std::string& text);
std::string toNarrowText(const std::wstring& text);

// The UTF-8 form of a wide text (UTF-32 here). Surrogates and values past U+10FFFF, which have
// no UTF-8 form, become U+FFFD, so the result is always valid UTF-8.
std::string toUtf8Text(const std::wstring& text);

}  // namespace quor::signer
