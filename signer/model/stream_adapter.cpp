#include "signer/model/stream_adapter.h"

#include <cstring>
#include <mutex>
#include <new>

namespace quor::signer {
namespace {

StreamPair* pairOf(BIO* bio) {
    return static_cast<StreamPair*>(BIO_get_data(bio));
}

// Errors return -1, as OpenSSL's own bridge for old-style methods does, so BIO_read/BIO_write
// report -1; the end of the input stream returns 0 with no bytes.
int adapterWrite(BIO* bio, const char* buffer, size_t length, size_t* written) {
    *written = 0;
    StreamPair* pair = pairOf(bio);
    if (buffer == nullptr || pair == nullptr || pair->out == nullptr)
        return -1;
    try {
        pair->out->write(buffer, static_cast<std::streamsize>(length));
        if (!pair->out->good())
            return -1;
    } catch (...) {  // a stream with exceptions enabled must not unwind through OpenSSL
        return -1;
    }
    *written = length;
    return 1;
}

int adapterRead(BIO* bio, char* buffer, size_t length, size_t* readBytes) {
    *readBytes = 0;
    StreamPair* pair = pairOf(bio);
    if (buffer == nullptr || pair == nullptr || pair->in == nullptr)
        return -1;
    try {
        pair->in->read(buffer, static_cast<std::streamsize>(length));
        *readBytes = static_cast<size_t>(pair->in->gcount());
    } catch (...) {
        *readBytes = 0;
        return -1;
    }
    return *readBytes > 0 ? 1 : 0;
}

int adapterPuts(BIO* bio, const char* text) {
    if (text == nullptr)
        return -1;
    size_t written = 0;
    const int result = adapterWrite(bio, text, std::strlen(text), &written);
    return result > 0 ? static_cast<int>(written) : -1;
}

// Reads one line: at most size - 1 bytes, stopping after a line feed, always zero-terminated.
int adapterGets(BIO* bio, char* buffer, int size) {
    StreamPair* pair = pairOf(bio);
    if (buffer == nullptr || size <= 0 || pair == nullptr || pair->in == nullptr)
        return -1;
    int count = 0;
    try {
        while (count < size - 1) {
            const auto c = pair->in->get();
            if (c == std::istream::traits_type::eof())
                break;
            buffer[count++] = static_cast<char>(c);
            if (c == '\n')
                break;
        }
    } catch (...) {
        buffer[count] = '\0';
        return -1;
    }
    buffer[count] = '\0';
    return count;
}

long adapterCtrl(BIO* bio, int command, long, void* pointer) {
    StreamPair* pair = pairOf(bio);
    if (pair == nullptr)
        return 0;
    switch (command) {
        case SetInputStream:
            pair->in = static_cast<std::istream*>(pointer);
            BIO_set_init(bio, 1);
            return 1;
        case SetOutputStream:
            pair->out = static_cast<std::ostream*>(pointer);
            BIO_set_init(bio, 1);
            return 1;
        default:
            return 0;
    }
}

int adapterCreate(BIO* bio) {
    auto* pair = new (std::nothrow) StreamPair{};
    if (pair == nullptr)
        return 0;
    BIO_set_init(bio, 0);
    BIO_clear_flags(bio, ~0);
    BIO_set_data(bio, pair);
    return 1;
}

int adapterDestroy(BIO* bio) {
    if (bio == nullptr)
        return 0;
    delete pairOf(bio);
    BIO_set_data(bio, nullptr);
    BIO_set_init(bio, 0);
    return 1;
}

BIO_METHOD* createMethod() {
    BIO_METHOD* method = BIO_meth_new(kStreamAdapterType, "std_stream_adapter");
    if (method == nullptr)
        return nullptr;
    if (BIO_meth_set_write_ex(method, adapterWrite) != 1 ||
        BIO_meth_set_read_ex(method, adapterRead) != 1 ||
        BIO_meth_set_puts(method, adapterPuts) != 1 ||
        BIO_meth_set_gets(method, adapterGets) != 1 ||
        BIO_meth_set_ctrl(method, adapterCtrl) != 1 ||
        BIO_meth_set_create(method, adapterCreate) != 1 ||
        BIO_meth_set_destroy(method, adapterDestroy) != 1) {
        BIO_meth_free(method);
        return nullptr;
    }
    return method;
}

openssl::BioPtr newStreamBio(int command, void* stream) {
    BIO_METHOD* method = streamAdapterMethod();
    if (method == nullptr)
        return {};
    openssl::BioPtr bio(BIO_new(method));
    if (!bio || BIO_ctrl(bio.get(), command, 0, stream) != 1)
        return {};
    return bio;
}

}  // namespace

BIO_METHOD* streamAdapterMethod() {
    // Kept for the life of the process; OpenSSL holds a pointer to it in every adapter BIO.
    static BIO_METHOD* const method = createMethod();
    return method;
}

openssl::BioPtr newInputStreamBio(std::istream& in) {
    return newStreamBio(SetInputStream, &in);
}

openssl::BioPtr newOutputStreamBio(std::ostream& out) {
    return newStreamBio(SetOutputStream, &out);
}

}  // namespace quor::signer
