#include "signer/model/distinguished_name.h"

#include <openssl/err.h>
#include <openssl/objects.h>

#include <algorithm>
#include <sstream>

#include "platform/openssl_ptr.h"

namespace quor::signer {

bool operator==(const DistinguishedName& left, const DistinguishedName& right) {
    if (left.size() != right.size())
        return false;
    return std::all_of(left.begin(), left.end(), [&right](const DistinguishedName::Entry& entry) {
        return std::find(right.begin(), right.end(), entry) != right.end();
    });
}

namespace {

// OpenSSL's short name for a dotted OID, or the OID text itself (at most 79 characters) when
// OpenSSL has no name for it.
std::string shortNameOf(const std::string& oid) {
    openssl::Asn1ObjectPtr object(OBJ_txt2obj(oid.c_str(), 1));
    const int nid = object ? OBJ_obj2nid(object.get()) : NID_undef;
    const char* shortName = nid != NID_undef ? OBJ_nid2sn(nid) : nullptr;
    if (!object)
        ERR_clear_error();
    if (shortName != nullptr)
        return shortName;
    return oid.substr(0, 79);
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const DistinguishedName& name) {
    for (const auto& [oid, value] : name)
        out << '/' << shortNameOf(oid) << '=' << value;
    return out;
}

std::string toString(const DistinguishedName& name) {
    std::ostringstream text;
    text << name;
    return text.str();
}

namespace {

std::vector<unsigned char>::const_iterator firstSignificant(const std::vector<unsigned char>& n) {
    return std::find_if(n.begin(), n.end(), [](unsigned char b) { return b != 0; });
}

}  // namespace

bool operator==(const RsaPublicKey& left, const RsaPublicKey& right) {
    if (left.modulus != right.modulus)
        return false;
    return std::equal(firstSignificant(left.exponent), left.exponent.end(),
                      firstSignificant(right.exponent), right.exponent.end());
}

}  // namespace quor::signer
