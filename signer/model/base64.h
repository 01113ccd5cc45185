// Base64 decoding for certificates given as text.
#pragma once

#include <string>
#include <vector>

namespace quor::signer {

// Decodes Base64 text (standard alphabet). White space anywhere is skipped. Every "=" in the
// text, wherever it stands, removes one byte from the end of the result (the result is empty
// when there are as many "=" as bytes, or more).
// Throws boost::archive::iterators::dataflow_exception ("attempt to decode a value not in base64
// char set") on any other character outside the alphabet.
std::vector<unsigned char> decodeBase64(const std::string& text);

}  // namespace quor::signer
