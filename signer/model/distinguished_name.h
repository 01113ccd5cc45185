// X.509 names and RSA public keys as plain values.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace quor::signer {

// An X.509 name as the certificate holds it: one entry per attribute, in encoded order.
// first: the attribute type as dotted numeric OID text ("2.5.4.3"), never a name.
// second: the raw content bytes of the value up to its first zero byte, without character-set
// conversion (a UTF8String stays UTF-8; a BMPString of Latin text ends at its first zero byte).
class DistinguishedName {
  public:
    using Entry = std::pair<std::string, std::string>;
    using const_iterator = std::vector<Entry>::const_iterator;

    DistinguishedName() = default;
    explicit DistinguishedName(std::vector<Entry> entries) : entries_(std::move(entries)) {}

    void append(std::string oid, std::string value) {
        entries_.emplace_back(std::move(oid), std::move(value));
    }

    const std::vector<Entry>& entries() const { return entries_; }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const Entry& operator[](std::size_t index) const { return entries_[index]; }

    // Equal when both names have the same number of entries and every entry of the left name
    // (same OID and same value bytes) occurs somewhere in the right one. Order does not matter;
    // repeated entries are not counted, so with repeats the answer can depend on the side.
    friend bool operator==(const DistinguishedName& left, const DistinguishedName& right);

  private:
    std::vector<Entry> entries_;
};

// Writes "/" + short name + "=" + value for each entry, in order ("/C=BR/O=ICP-Brasil/CN=x").
// An OID that OpenSSL knows no short name for is written as its numeric text. Values are written
// unescaped; an empty name writes nothing.
std::ostream& operator<<(std::ostream& out, const DistinguishedName& name);

// The text operator<< writes, as a string.
std::string toString(const DistinguishedName& name);

// An RSA public key: big-endian unsigned magnitudes without leading zero bytes.
struct RsaPublicKey {
    std::vector<unsigned char> modulus;
    std::vector<unsigned char> exponent;

    // Moduli must match byte for byte; exponents are compared as numbers (leading zero bytes on
    // either side are ignored).
    friend bool operator==(const RsaPublicKey& left, const RsaPublicKey& right);
};

}  // namespace quor::signer
