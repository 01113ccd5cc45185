#include "tests/installer/installer_test_support.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "platform/cert_store.h"
#include "tests/support/temp_dir.h"

namespace quor::installer::test {

namespace expect {
std::wstring progress(int value) {
    return L"progress " + std::to_wstring(value);
}
std::wstring log(const std::wstring& text) {
    return L"log: " + text;
}

std::vector<std::wstring> listRead() {
    return {progress(5), log(L"Baixando arquivo de configuração..."), progress(10),
            log(L"Lendo arquivo de configuração...")};
}
std::vector<std::wstring> checking(const std::wstring& name) {
    return {progress(10), log(L"Verificando cadeia em: " + name + L"...")};
}
std::vector<std::wstring> installed(const std::wstring& name) {
    return concat({checking(name),
                   {progress(10), log(L"Instalando cadeia em " + name + L"."), progress(10),
                    log(L"Cadeia em " + name + L" instalada.")}});
}
std::vector<std::wstring> alreadyInstalled(const std::wstring& name) {
    return concat({checking(name),
                   {progress(10), log(L"Cadeia em " + name + L" já está instalada."), progress(10),
                    log(L"Cadeia em " + name + L" instalada.")}});
}
std::vector<std::wstring> ignored(const std::wstring& name) {
    return concat({checking(name),
                   {progress(10), log(L"Cadeia em " + name +
                                      L" ignorada: o nome do arquivo não termina em \".p7b\" "
                                      L"nem em \".crt\".")}});
}
std::vector<std::wstring> success() {
    return {progress(100), log(L"Instalação de cadeias concluída com sucesso.")};
}
std::vector<std::wstring> failure(const std::wstring& text) {
    return {progress(100), log(L"Não foi possível efetuar instalação de cadeias. Erro: " + text)};
}
std::vector<std::wstring> concat(std::initializer_list<std::vector<std::wstring>> parts) {
    std::vector<std::wstring> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
}  // namespace expect

void DownloadFolder::put(const std::string& name, const std::string& body, int status) {
    server.serve(kFolder + name, quor::test::CannedResponse{status, {}, body});
}

void DownloadFolder::putAll(const std::filesystem::path& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            put(entry.path().filename().string(), quor::test::readFile(entry.path()));
        }
    }
}

std::wstring DownloadFolder::baseUrl() const {
    return server.url(kFolder);
}

std::vector<std::string> DownloadFolder::fetched() const {
    std::vector<std::string> names;
    const std::string folder = kFolder;
    for (const auto& request : server.requests()) {
        names.push_back(request.target.rfind(folder, 0) == 0 ? request.target.substr(folder.size())
                                                             : request.target);
    }
    return names;
}

namespace {
std::string sha1Text(const platform::Sha1Hash& hash) {
    std::string text;
    char pair[4];
    for (unsigned char byte : hash) {
        std::snprintf(pair, sizeof pair, text.empty() ? "%02x" : " %02x", byte);
        text += pair;
    }
    return text;
}
}  // namespace

std::map<std::string, std::set<std::string>> storeContents() {
    std::map<std::string, std::set<std::string>> contents;
    for (std::string_view name : {platform::kPersonalStore, platform::kAddressBookStore,
                                  platform::kCaStore, platform::kRootStore}) {
        platform::CertStorePtr store = platform::openSystemStore(name);
        if (!store)
            throw std::runtime_error("cannot open store " + std::string(name));
        for (platform::CertContextPtr context = store->next(nullptr); context;
             context = store->next(context)) {
            contents[std::string(name)].insert(sha1Text(context->sha1()));
        }
    }
    return contents;
}

std::string sha1OfPemFile(const std::filesystem::path& file) {
    const std::string pem = quor::test::readFile(file);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
    if (!cert)
        throw std::runtime_error("no certificate in " + file.string());
    platform::Sha1Hash hash{};
    unsigned int size = 0;
    X509_digest(cert.get(), EVP_sha1(), hash.data(), &size);
    return sha1Text(hash);
}

}  // namespace quor::installer::test
