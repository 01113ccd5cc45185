// "std_stream_adapter": an OpenSSL BIO over standard streams.
//
// OpenSSL reads DER data from a std::istream and writes to a std::ostream through it (the
// PKCS#7 bundle reader, the PKCS#12 writer). The streams are borrowed: the BIO never closes or
// deletes them, and the caller keeps them alive while the BIO is used.
//
// Use: BIO_new(streamAdapterMethod()), then BIO_ctrl(bio, SetInputStream, 0, &stream) (or
// SetOutputStream), read or write through OpenSSL, free the BIO. The helpers below do the first
// two steps.
#pragma once

#include <openssl/bio.h>

#include <istream>
#include <ostream>

#include "platform/openssl_ptr.h"

namespace quor::signer {

// The data of each adapter BIO.
struct StreamPair {
    std::istream* in = nullptr;
    std::ostream* out = nullptr;
};

// Control commands of the adapter; the stream is passed as the pointer argument.
enum StreamAdapterControl : int {
    SetInputStream = 1001,
    SetOutputStream = 1002,
};

// BIO type of the adapter: a source/sink BIO (0x400) numbered 50.
inline constexpr int kStreamAdapterType = 0x0400 | 50;

// The adapter's method record, created once per process (thread-safe) and kept for its life.
// Returns null only when OpenSSL cannot allocate it.
// Operations: read returns the bytes read (0 at end of stream, -1 without an input stream);
// write/puts return the length, or -1 without an output stream or when the stream fails; gets
// reads at most size-1 bytes up to and including a line feed and zero-terminates; ctrl knows only
// the two commands above. No retry flags are ever set: a short read is final.
BIO_METHOD* streamAdapterMethod();

// A new adapter BIO reading from in; null when OpenSSL cannot create it.
openssl::BioPtr newInputStreamBio(std::istream& in);

// A new adapter BIO writing to out; null when OpenSSL cannot create it.
openssl::BioPtr newOutputStreamBio(std::ostream& out);

}  // namespace quor::signer
