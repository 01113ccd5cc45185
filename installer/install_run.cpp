#include "installer/install_run.h"

#include <boost/property_tree/ptree.hpp>
#include <exception>
#include <istream>

#include "detection/detection.h"
#include "installer/chain_list.h"
#include "installer/install_step.h"
#include "net/http_client_downloader.h"
#include "net/system_proxy.h"
#include "platform/cert_store.h"

namespace quor::installer {

namespace {

constexpr int kTimeoutMs = 60000;
constexpr bool kFollowRedirects = true;

void reportFailure(InstallerControls& controls, const std::string& text) {
    setProgress(controls, 100);
    writeLog(controls,
             (L"Não foi possível efetuar instalação de cadeias. Erro: " + toWide(text)).c_str());
}

// One entry of the list: fetch the named file and let detection hand it to the step.
void installEntry(InstallerControls& controls, const std::wstring& baseUrl,
                  const boost::property_tree::ptree& entry, const int& progress) {
    const std::wstring name = entryFileName(entry);
    net::HttpClientDownloader entryDownloader(chainFileUrl(baseUrl, name), kTimeoutMs,
                                              kFollowRedirects);
    setProgress(controls, progress);
    writeLog(controls, (L"Verificando cadeia em: " + name + L"...").c_str());

    // Fails early, with its own text, when no connection to the download folder can be set up.
    const net::HttpClientDownloader readinessCheck(baseUrl.c_str(), kTimeoutMs, kFollowRedirects);

    bool recognised = false;
    detection::DetectionCallback step = [&](detection::ChainOrCertificate& item,
                                            detection::CertValidation& validation) {
        recognised = true;
        installChainStep(progress, controls, name, item, validation);
    };
    std::istream* stream = entryDownloader.download(L"");
    detection::detect(*stream, step, name);

    // Detection calls the step for every file it can read; a name that is neither ".p7b" nor
    // ".crt" (exact case) is skipped, and the log says so instead of calling it installed.
    setProgress(controls, progress);
    if (recognised) {
        writeLog(controls, (L"Cadeia em " + name + L" instalada.").c_str());
    } else {
        writeLog(controls, (L"Cadeia em " + name +
                            L" ignorada: o nome do arquivo não termina em \".p7b\" nem em "
                            L"\".crt\".")
                               .c_str());
    }
}

}  // namespace

void installChains(InstallerControls& controls) {
    installChains(controls, chainBaseUrl);
}

void installChains(InstallerControls& controls, const std::wstring& baseUrl) {
    int progress = 0;
    // One question to libproxy per host for the whole run, not one per chain file.
    const net::ScopedProxyCache proxyAnswers;
    // Everything is guarded, set-up included: a base URL given at run time may be malformed,
    // and an exception escaping here would end the whole program.
    try {
        // Every entry looks the stores up and may add to them: one connection for the whole run.
        const platform::StoreSession stores;
        net::HttpClientDownloader listDownloader(chainListUrl(baseUrl), kTimeoutMs,
                                                 kFollowRedirects);
        const boost::property_tree::ptree list = readChainList(*listDownloader.download(L""));
        progress = 5;
        setProgress(controls, progress);
        writeLog(controls, L"Baixando arquivo de configuração...");

        const boost::property_tree::ptree& entries = chainEntries(list);
        progress = 10;
        setProgress(controls, progress);
        writeLog(controls, L"Lendo arquivo de configuração...");

        for (const auto& child : entries) {
            if (isChainEntry(child.first))
                installEntry(controls, baseUrl, child.second, progress);
        }

        progress = 100;
        setProgress(controls, progress);
        writeLog(controls, L"Instalação de cadeias concluída com sucesso.");
    } catch (const std::exception& error) {
        reportFailure(controls, error.what());
    } catch (...) {
        reportFailure(controls, "Unknown error");
    }
}

}  // namespace quor::installer
