// The PKCS#12 import of the key services ("quor-certs import"): a file from anywhere, opened
// with the pass phrase "senha", its key stored in a throw-away user database and its
// certificates walked.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/cert_store.h"
#include "platform/key_store.h"

namespace {

std::string dataHome;

void removeDataHome() {
    std::error_code ignored;
    std::filesystem::remove_all(dataHome, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/quor-fuzz-p12-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        abort();
    dataHome = pattern;
    setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    atexit(removeDataHome);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const quor::platform::Bytes file(data, data + size);
    quor::platform::CertStorePtr store =
        quor::platform::importPkcs12(file, "senha", quor::platform::kImportExportable);
    if (store) {
        for (quor::platform::CertContextPtr context = store->next(nullptr); context;
             context = store->next(context)) {
            (void)context->sha1();
        }
    }
    return 0;
}
