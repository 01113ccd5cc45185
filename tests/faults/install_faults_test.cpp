// Faults of a whole install run. Each case runs the real "quor-certs install --base-url URL
// --yes" in a temporary home against a loopback server that misbehaves in one way, and checks
// the run's last status line, its exit status and that the user's stores hold exactly what
// they held before plus the chains that were fully installed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "installer/install_run.h"
#include "installer/installer_controls.h"
#include "installer/installer_prompts.h"
#include "platform/cert_store.h"
#include "platform/nss_mirror.h"
#include "tests/faults/child_process.h"
#include "tests/support/http_server.h"
#include "tests/support/pki_builder.h"
#include "tests/support/temp_dir.h"

namespace {

using quor::faults::Child;
using quor::faults::ChildResult;
using quor::test::CannedResponse;
using quor::test::CertBuilder;
using quor::test::HttpExchange;
using quor::test::HttpServer;
using quor::test::Name;
using quor::test::ScopedDataHome;
using quor::test::TestCert;
using quor::test::testKey;

const std::string kProgram = QUOR_BINARY_DIR "/cli/quor-certs";
const std::string kFolder = "/DEZIruva/certificados/";
const std::string kSuccess = "Instalação de cadeias concluída com sucesso.";
const std::string kFailure = "Não foi possível efetuar instalação de cadeias. Erro: ";
const std::vector<std::string> kProxyVariables{"http_proxy",  "https_proxy", "HTTP_PROXY",
                                               "HTTPS_PROXY", "all_proxy",   "ALL_PROXY",
                                               "no_proxy",    "NO_PROXY"};

// ---------------------------------------------------------------------------------------------
// Certificates.

// A root, an authority under it and an end-entity certificate, each with its own key.
struct Pki {
    TestCert root;
    TestCert inter;
    TestCert leaf;

    std::string p7b() const { return quor::test::pkcs7Der({leaf, inter, root}); }
};

Pki makePki(const std::string& tag, int keyBase) {
    Pki pki;
    pki.root = CertBuilder(Name::cn("Raiz " + tag)).key(testKey(keyBase)).ca().selfSigned();
    pki.inter =
        CertBuilder(Name::cn("AC " + tag)).key(testKey(keyBase + 1)).ca(0).signedBy(pki.root);
    pki.leaf = CertBuilder(Name::cn("Titular " + tag))
                   .key(testKey(keyBase + 2))
                   .notCa()
                   .keyUsage("digitalSignature")
                   .signedBy(pki.inter);
    return pki;
}

const Pki& pkiA() {
    static const Pki pki = makePki("A", 0);
    return pki;
}
const Pki& pkiB() {
    static const Pki pki = makePki("B", 3);
    return pki;
}
const Pki& pkiC() {
    static const Pki pki = makePki("C", 6);
    return pki;
}

// ---------------------------------------------------------------------------------------------
// The user's stores.

// SHA-1 texts per store, in store order, duplicates kept (a duplicate is a fault).
using Stores = std::map<std::string, std::vector<std::string>>;

Stores readStores() {
    Stores stores;
    for (std::string_view name : {quor::platform::kPersonalStore, quor::platform::kAddressBookStore,
                                  quor::platform::kCaStore, quor::platform::kRootStore}) {
        quor::platform::CertStorePtr store = quor::platform::openSystemStore(name);
        if (!store)
            throw std::runtime_error("cannot open store " + std::string(name));
        for (auto context = store->next(nullptr); context; context = store->next(context)) {
            std::string text;
            for (unsigned char byte : context->sha1()) {
                static const char digits[] = "0123456789abcdef";
                if (!text.empty())
                    text += ' ';
                text += digits[byte >> 4];
                text += digits[byte & 15];
            }
            stores[std::string(name)].push_back(text);
        }
    }
    return stores;
}

Stores sorted(Stores stores) {
    for (auto& [name, list] : stores)
        std::sort(list.begin(), list.end());
    return stores;
}

// Where a fully installed chain's certificates go: roots to "ROOT", authorities to "CA",
// end-entity certificates to "AddressBook".
Stores plus(Stores stores, const Pki& pki) {
    stores["ROOT"].push_back(pki.root.sha1Text());
    stores["CA"].push_back(pki.inter.sha1Text());
    stores["AddressBook"].push_back(pki.leaf.sha1Text());
    return stores;
}

void addToStores(const std::vector<std::pair<std::string_view, TestCert>>& adds) {
    const quor::platform::RootAddHandler previous = quor::platform::setRootAddHandler(
        [](const quor::platform::RootAddRequest&) { return true; });
    // Copied to the NSS databases together at the end, as a program adding many does.
    quor::platform::MirrorBatch batch;
    for (const auto& [store, cert] : adds) {
        quor::platform::CertStorePtr opened = quor::platform::openSystemStore(store);
        ASSERT_TRUE(opened);
        ASSERT_TRUE(opened->addEncoded(cert.derBytes()));
    }
    quor::platform::setRootAddHandler(previous);
}

// What the user had before the faulty run: chain B, put in directly.
void installBaseline() {
    addToStores({{quor::platform::kRootStore, pkiB().root},
                 {quor::platform::kCaStore, pkiB().inter},
                 {quor::platform::kAddressBookStore, pkiB().leaf}});
}

// "ok\n" for a sound database. Opened for writing (never created) as the next run would open it,
// so a write-ahead log left by a killed writer is taken into account.
std::string integrityCheck(const std::filesystem::path& database) {
    sqlite3* db = nullptr;
    std::string answer;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) ==
            SQLITE_OK) {
            int step = SQLITE_ROW;
            while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
                answer += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
                answer += '\n';
            }
            if (step != SQLITE_DONE)
                answer += std::string("step failed: ") + sqlite3_errmsg(db);
        } else {
            answer = std::string("prepare failed: ") + sqlite3_errmsg(db);
        }
        sqlite3_finalize(statement);
    } else {
        answer = std::string("open failed: ") + sqlite3_errmsg(db);
    }
    sqlite3_close(db);
    return answer;
}

// ---------------------------------------------------------------------------------------------
// The download server and the installer.

std::string chainsXml(const std::vector<std::string>& names) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Chains>\n";
    for (const auto& name : names)
        xml += "  <Chain file=\"" + name + "\"/>\n";
    return xml + "</Chains>\n";
}

struct Folder {
    HttpServer server;

    void put(const std::string& name, const std::string& body, int status = 200,
             std::vector<std::pair<std::string, std::string>> headers = {}) {
        server.serve(kFolder + name, CannedResponse{status, std::move(headers), body});
    }
    void handle(const std::string& name, quor::test::HttpHandler handler) {
        server.handle(kFolder + name, std::move(handler));
    }
    std::string baseUrl() const { return server.origin() + kFolder; }
    std::vector<std::string> targets() const {
        std::vector<std::string> list;
        for (const auto& request : server.requests())
            list.push_back(request.target);
        return list;
    }
};

// Answers with a Content-Length for the whole body, sends only its first half, and hangs up.
quor::test::HttpHandler cutInHalf(std::string body) {
    return [body](HttpExchange& exchange) {
        exchange.write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\n\r\n" + body.substr(0, body.size() / 2));
        exchange.closeAfter();
    };
}

std::unique_ptr<Child> startInstall(const std::string& baseUrl,
                                    const std::map<std::string, std::string>& env = {}) {
    std::vector<std::string> unset = kProxyVariables;
    return std::make_unique<Child>(
        kProgram, std::vector<std::string>{"install", "--base-url", baseUrl, "--yes"}, env, unset);
}

ChildResult runInstall(const std::string& baseUrl,
                       const std::map<std::string, std::string>& env = {},
                       std::chrono::seconds deadline = std::chrono::seconds(150)) {
    return startInstall(baseUrl, env)->wait(deadline);
}

// ---------------------------------------------------------------------------------------------
// The table.

struct Expected {
    int exitCode;
    // The last status line is exactly `lastLine`, or, when `lastLineContains` is set, starts
    // with the failure prefix and contains it.
    std::string lastLine;
    std::string lastLineContains;
    // Chains (beyond the baseline) that must be installed afterwards, nothing more.
    std::vector<const Pki*> installed;
    // Optional further check of the run's whole output and the server's log.
    std::function<void(const ChildResult&, const Folder&)> check;
};

struct FaultCase {
    const char* name;
    std::function<void(Folder&)> serve;
    Expected expected;
    // What the user holds besides the baseline, put in before the run.
    std::function<void()> prepare = {};
};

Expected success(std::vector<const Pki*> installed,
                 std::function<void(const ChildResult&, const Folder&)> check = {}) {
    return Expected{0, kSuccess, "", std::move(installed), std::move(check)};
}
Expected failure(std::string contains, std::vector<const Pki*> installed = {},
                 std::function<void(const ChildResult&, const Folder&)> check = {}) {
    return Expected{1, "", std::move(contains), std::move(installed), std::move(check)};
}

std::string repeat(const std::string& unit, std::size_t times) {
    std::string text;
    text.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        text += unit;
    return text;
}

// A list naming `name`, whose file is chain A, served at `target` (where the name leads).
std::function<void(Folder&)> nameLeadsTo(const std::string& name, const std::string& target) {
    return [name, target](Folder& folder) {
        folder.put("Chains.xml", chainsXml({name}));
        folder.server.serve(target, CannedResponse{200, {}, pkiA().p7b()});
    };
}

// 2,000 certificates: a root and 1,999 end-entity certificates it issued, root first. (Ordering
// thousands is the bundle reader's tests' matter; here the user holds the whole bundle before the
// run, and every certificate put into the store beforehand costs a committed write.)
const std::vector<TestCert>& siblings() {
    static const std::vector<TestCert> all = [] {
        std::vector<TestCert> list;
        list.push_back(CertBuilder(Name::cn("Raiz de muitos")).key(testKey(9)).ca().selfSigned());
        for (int i = 1; i < 2000; ++i) {
            list.push_back(CertBuilder(Name::cn("Titular " + std::to_string(i)))
                               .key(testKey(9))
                               .serial(i + 1)
                               .notCa()
                               .signedBy(list.front()));
        }
        return list;
    }();
    return all;
}

std::vector<FaultCase> faultCases() {
    return {
        {"ListCutMidway",
         [](Folder& f) {
             f.handle("Chains.xml", cutInHalf(chainsXml({"a.p7b", "c.p7b"})));
         },
         failure("<unspecified file>")},
        {"ChainFileCutMidway",
         [](Folder& f) {
             f.put("Chains.xml", chainsXml({"a.p7b", "c.p7b"}));
             f.put("a.p7b", pkiA().p7b());
             f.handle("c.p7b", cutInHalf(pkiC().p7b()));
         },
         failure("No certificate could be read from chain file c.p7b", {&pkiA()})},
        {"CertificateFileCutMidway",
         [](Folder& f) {
             f.put("Chains.xml", chainsXml({"a.p7b", "c.crt"}));
             f.put("a.p7b", pkiA().p7b());
             f.handle("c.crt", cutInHalf(pkiC().root.pem()));
         },
         // Half a PEM block has no end line, so the reader falls back to bare Base64.
         failure("Erro: attempt to decode a value not in base64 char set", {&pkiA()})},
        {"StallPastTimeout",
         [](Folder& f) {
             f.put("Chains.xml", chainsXml({"a.p7b", "c.p7b", "b.p7b"}));
             f.put("a.p7b", pkiA().p7b());
             f.put("b.p7b", pkiB().p7b());
             f.handle("c.p7b",
                      [](HttpExchange& exchange) { exchange.pause(std::chrono::seconds(65)); });
         },
         failure("/DEZIruva/certificados/c.p7b: Unreachable", {&pkiA()})},
        {"List404",
         [](Folder& f) {
             f.put("Chains.xml", "<html><body><h1>404 Not Found</h1></body></html>", 404);
         },
         failure("No such node (Chains)")},
        {"ChainFile500",
         [](Folder& f) {
             f.put("Chains.xml", chainsXml({"a.p7b", "c.p7b"}));
             f.put("a.p7b", pkiA().p7b());
             f.put("c.p7b", "Internal Server Error", 500);
         },
         failure("No certificate could be read from chain file c.p7b", {&pkiA()})},
        {"ListIsHtmlPage",
         [](Folder& f) {
             f.put("Chains.xml",
                   "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Manutenção"
                   "</title></head><body><p>Volte mais tarde<br></body></html>\n");
         },
         failure("<unspecified file>(")},
        {"CertificateFileIsHtmlPage",
         [](Folder& f) {
             f.put("Chains.xml", chainsXml({"a.p7b", "c.crt"}));
             f.put("a.p7b", pkiA().p7b());
             f.put("c.crt", "<html><body>Erro</body></html>");
         },
         failure("Erro: attempt to decode a value not in base64 char set", {&pkiA()})},
        // An empty body parses into an empty tree, without the element "Chains".
        {"ListEmptyBody", [](Folder& f) { f.put("Chains.xml", ""); },
         failure("Erro: No such node (Chains)")},
        {"ChainFileEmptyBody",
         [](Folder& f) {
             f.put("Chains.xml", chainsXml({"a.p7b", "c.p7b"}));
             f.put("a.p7b", pkiA().p7b());
             f.put("c.p7b", "");
         },
         failure("No certificate could be read from chain file c.p7b", {&pkiA()})},
        {"List20Megabytes",
         [](Folder& f) {
             // Comments outside "Chains" are no entries.
             f.put("Chains.xml",
                   "<!-- " + repeat("preenchimento ", 20u << 16) + "-->\n" + chainsXml({"a.p7b"}));
             f.put("a.p7b", pkiA().p7b());
         },
         success({&pkiA()})},
        {"ListWithEntityExpansion",
         [](Folder& f) {
             std::string doctype = "<!DOCTYPE Chains [\n<!ENTITY l0 \"lol\">\n";
             for (int i = 1; i < 10; ++i) {
                 doctype += "<!ENTITY l" + std::to_string(i) + " \"" +
                            repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">\n";
             }
             f.put("Chains.xml", doctype + "]>\n<Chains><Chain file=\"&l9;.p7b\"/></Chains>");
             // The reference is not expanded: the name is taken as written.
             f.put("&l9;.p7b", pkiA().p7b());
         },
         success({&pkiA()},
                 [](const ChildResult& run, const Folder&) {
                     EXPECT_NE(run.out.find("Cadeia em &l9;.p7b instalada."), std::string::npos)
                         << run.out;
                 })},
        {"ListWithExternalDoctype",
         [](Folder& f) {
             f.put("Chains.xml", "<!DOCTYPE Chains SYSTEM \"" + f.server.origin() +
                                     "/evil.dtd\">\n" + chainsXml({"a.p7b"}));
             f.put("a.p7b", pkiA().p7b());
         },
         success({&pkiA()},
                 [](const ChildResult&, const Folder& f) {
                     // Nothing but the list and the chain file is fetched.
                     EXPECT_EQ(f.targets(), (std::vector<std::string>{kFolder + "Chains.xml",
                                                                      kFolder + "a.p7b"}));
                 })},
        {"ListDeeplyNested",
         [](Folder& f) {
             f.put("Chains.xml", "<Chains><Chain file=\"a.p7b\"/>" + repeat("<a>", 1000000) +
                                     repeat("</a>", 1000000) + "</Chains>");
             f.put("a.p7b", pkiA().p7b());
         },
         failure("<unspecified file>(1): elements nested too deep")},
        {"NameWithDotDot", nameLeadsTo("../a.p7b", "/DEZIruva/certificados/../a.p7b"),
         success({&pkiA()})},
        {"NameWithSlash", nameLeadsTo("sub/a.p7b", kFolder + "sub/a.p7b"), success({&pkiA()})},
        {"NameWithQuery", nameLeadsTo("a?v=2.p7b", kFolder + "a?v=2.p7b"), success({&pkiA()})},
        {"NameWithSpaces", nameLeadsTo("cadeia a.p7b", kFolder + "cadeia%20a.p7b"),
         success({&pkiA()})},
        // Names are widened byte by byte, so the UTF-8 bytes of "é" travel as the two characters
        // U+00C3 U+00A9, which the request writes percent-encoded as UTF-8.
        {"NameWithNonAsciiBytes",
         nameLeadsTo("cadeia-\xc3\xa9.p7b", kFolder + "cadeia-%C3%83%C2%A9.p7b"),
         success({&pkiA()})},
        {"BundleOf2000AllHeldAlready",
         [](Folder& f) {
             f.put("Chains.xml", chainsXml({"irmaos.p7b", "a.p7b"}));
             f.put("irmaos.p7b", quor::test::pkcs7Der(siblings()));
             f.put("a.p7b", pkiA().p7b());
         },
         success({&pkiA()},
                 [](const ChildResult& run, const Folder&) {
                     // The user already holds every certificate of the bundle: each of the
                     // 2,000 is looked up, and nothing of it is added again.
                     EXPECT_NE(run.out.find("Cadeia em irmaos.p7b já está instalada."),
                               std::string::npos)
                         << run.out;
                 }),
         [] {
             std::vector<std::pair<std::string_view, TestCert>> held{
                 {quor::platform::kRootStore, siblings().front()}};
             for (auto it = std::next(siblings().begin()); it != siblings().end(); ++it)
                 held.emplace_back(quor::platform::kAddressBookStore, *it);
             addToStores(held);
         }},
        {"BundleIssuingInACycle",
         [](Folder& f) {
             // X issued by Y and Y by X: no root, no end.
             const TestCert x = CertBuilder(Name::cn("Ciclo X"))
                                    .issuerName(Name::cn("Ciclo Y"))
                                    .key(testKey(10))
                                    .ca()
                                    .signedWith(testKey(11), Name::cn("Ciclo Y"));
             const TestCert y = CertBuilder(Name::cn("Ciclo Y"))
                                    .issuerName(Name::cn("Ciclo X"))
                                    .key(testKey(11))
                                    .ca()
                                    .signedWith(testKey(10), Name::cn("Ciclo X"));
             f.put("Chains.xml", chainsXml({"ciclo.p7b", "a.p7b"}));
             f.put("ciclo.p7b", quor::test::pkcs7Der({x, y}));
             f.put("a.p7b", pkiA().p7b());
         },
         success({&pkiA()},
                 [](const ChildResult&, const Folder&) {
                     EXPECT_EQ(readStores().at("CA").size(), 1u + 2u + 1u);
                 })},
        {"CertificateWithHugeNames",
         [](Folder& f) {
             Name huge;
             for (int i = 0; i < 200; ++i)
                 huge.add("2.5.4.11",
                          repeat(std::string(1, static_cast<char>('a' + i % 26)), 1000));
             huge.add("CN", "Raiz de nome enorme");
             const TestCert root = CertBuilder(huge).key(testKey(12)).ca().selfSigned();
             f.put("Chains.xml", chainsXml({"enorme.crt", "a.p7b"}));
             f.put("enorme.crt", root.pem());
             f.put("a.p7b", pkiA().p7b());
         },
         success({&pkiA()},
                 [](const ChildResult&, const Folder&) {
                     EXPECT_EQ(readStores().at("ROOT").size(), 1u + 1u + 1u);
                 })},
        {"CertificateWithThousandsOfExtensions",
         [](Folder& f) {
             CertBuilder builder(Name::cn("Raiz com extensões"));
             builder.key(testKey(13)).ca();
             for (int i = 0; i < 5000; ++i)
                 builder.rawExtension("1.3.6.1.4.1.99999." + std::to_string(i), {0x05, 0x00});
             f.put("Chains.xml", chainsXml({"extensoes.crt", "a.p7b"}));
             f.put("extensoes.crt", builder.selfSigned().pem());
             f.put("a.p7b", pkiA().p7b());
         },
         success({&pkiA()},
                 [](const ChildResult&, const Folder&) {
                     EXPECT_EQ(readStores().at("ROOT").size(), 1u + 1u + 1u);
                 })},
        {"CertificateFileOf10Megabytes",
         [](Folder& f) {
             f.put("Chains.xml", chainsXml({"grande.crt"}));
             f.put("grande.crt",
                   repeat("lixo antes do certificado\n", (10u << 20) / 26) + pkiC().root.pem());
         },
         success({}, [](const ChildResult&,
                        const Folder&) { EXPECT_EQ(readStores().at("ROOT").size(), 1u + 1u); })},
        {"RedirectLoop",
         [](Folder& f) {
             f.put("Chains.xml", "", 302, {{"Location", kFolder + "Chains.xml"}});
         },
         failure("/DEZIruva/certificados/Chains.xml: Unreachable")},
        {"RedirectAwayFromLoopbackIsNotFollowedToOtherSchemes",
         [](Folder& f) {
             f.put("Chains.xml", "", 302, {{"Location", "file:///etc/passwd"}});
         },
         failure("/DEZIruva/certificados/Chains.xml: Unreachable")},
    };
}

class InstallFault : public ::testing::TestWithParam<FaultCase> {};

std::string rowName(const ::testing::TestParamInfo<FaultCase>& row) {
    return row.param.name;
}

TEST_P(InstallFault, EndsWithItsLineAndKeepsTheStores) {
    const FaultCase& row = GetParam();
    ScopedDataHome home;
    installBaseline();
    if (row.prepare)
        row.prepare();
    const Stores before = readStores();

    Folder folder;
    row.serve(folder);
    const auto started = std::chrono::steady_clock::now();
    const ChildResult run = runInstall(folder.baseUrl());
    const auto took = std::chrono::steady_clock::now() - started;

    EXPECT_FALSE(run.killedByTest) << "the run did not end by itself";
    EXPECT_EQ(run.exitCode, row.expected.exitCode)
        << run.out << run.err << "requests: " << ::testing::PrintToString(folder.targets());
    if (row.expected.exitCode != 0) {
        EXPECT_FALSE(row.expected.lastLineContains.empty()) << "a failure row names its error";
    }
    // quor-certs's own last word on standard error, after a failed run only.
    const std::string notAllInstalled =
        "quor-certs: nem todas as cadeias foram instaladas (veja a mensagem acima)\n";
    if (row.expected.exitCode == 0) {
        EXPECT_EQ(run.err.find(notAllInstalled), std::string::npos) << run.err;
    } else {
        EXPECT_THAT(run.err, ::testing::EndsWith(notAllInstalled));
    }
    if (row.expected.lastLineContains.empty() && !row.expected.lastLine.empty()) {
        EXPECT_EQ(run.lastLine(), row.expected.lastLine) << run.err;
    } else {
        EXPECT_EQ(run.lastLine().rfind(kFailure, 0), 0u) << run.lastLine();
        EXPECT_NE(run.lastLine().find(row.expected.lastLineContains), std::string::npos)
            << run.lastLine();
        // The one line a user reads stays a line: no raw server bytes run on for megabytes.
        EXPECT_LT(run.lastLine().size(), 4096u);
    }
    Stores expected = before;
    for (const Pki* pki : row.expected.installed)
        expected = plus(expected, *pki);
    if (!row.expected.check) {
        EXPECT_EQ(sorted(readStores()), sorted(expected));
    } else {
        // The row's own check covers the extra certificates; everything held before stays.
        const Stores after = readStores();
        for (const auto& [store, list] : expected) {
            for (const auto& sha1 : list) {
                EXPECT_EQ(std::count(after.at(store).begin(), after.at(store).end(), sha1), 1)
                    << store << " " << sha1;
            }
        }
        row.expected.check(run, folder);
    }
    EXPECT_EQ(integrityCheck(home.storePath()), "ok\n");
    RecordProperty("seconds",
                   std::to_string(std::chrono::duration_cast<std::chrono::seconds>(took).count()));
}

INSTANTIATE_TEST_SUITE_P(Table, InstallFault, ::testing::ValuesIn(faultCases()), rowName);

// ---------------------------------------------------------------------------------------------
// A proxy that answers 407 to everything.

struct Proxy407 {
    HttpServer server;
    std::vector<std::string> authorizations;
    std::mutex mutex;

    explicit Proxy407(const std::string& target) {
        server.handle(target, [this](HttpExchange& exchange) {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                authorizations.push_back(
                    exchange.request().header("Proxy-Authorization").value_or(""));
            }
            exchange.respond(
                CannedResponse{407,
                               {{"Proxy-Authenticate", "Basic realm=\"proxy\""}},
                               "<html><body>407 Proxy Authentication Required</body></html>"});
        });
    }
    std::string url() const { return server.origin(); }
};

TEST(ProxyAsksForever, TerminalWithoutAnswersGivesUpAtOnce) {
    ScopedDataHome home;
    installBaseline();
    const Stores before = readStores();
    // The target server is never reached; the proxy answers for it.
    const std::string base = "http://127.0.0.1:9/DEZIruva/certificados/";
    Proxy407 proxy(base + "Chains.xml");
    // Standard input is no terminal: nobody can be asked, so no credentials are sent.
    const ChildResult run = runInstall(base, {{"http_proxy", proxy.url()}});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_EQ(run.lastLine(), kFailure + "No such node (Chains)");
    EXPECT_EQ(proxy.authorizations, std::vector<std::string>{""});
    EXPECT_EQ(sorted(readStores()), sorted(before));
}

// The dialog's and the terminal's question, through the handler the install run registers:
// the user confirms three times, then gives up.
class GivingUpPrompts : public quor::installer::InstallerPrompts {
  public:
    std::optional<quor::net::ProxyCredentials> askProxyCredentials(
        const quor::net::ProxyCredentialsRequest& request) override {
        attempts.push_back(request.attempt);
        if (attempts.size() > 3)
            return std::nullopt;
        return quor::net::ProxyCredentials{"usuario", "senha" + std::to_string(attempts.size())};
    }
    bool confirmRootCertificate(const quor::platform::RootAddRequest&) override { return false; }
    std::vector<int> attempts;
};

class LastLine : public quor::installer::LogControl, public quor::installer::ProgressControl {
  public:
    void replaceText(const std::wstring& text) override { last = text; }
    void setPosition(int value) override { position = value; }
    std::wstring last;
    int position = -1;
};

TEST(ProxyAsksForever, ConfirmingUserWhoGivesUpEndsTheRun) {
    ScopedDataHome home;
    installBaseline();
    const Stores before = readStores();
    const std::string base = "http://127.0.0.1:9/DEZIruva/certificados/";
    Proxy407 proxy(base + "Chains.xml");

    std::map<std::string, std::optional<std::string>> saved;
    for (const auto& name : kProxyVariables) {
        const char* value = std::getenv(name.c_str());
        saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
        unsetenv(name.c_str());
    }
    setenv("http_proxy", proxy.url().c_str(), 1);

    GivingUpPrompts prompts;
    LastLine controls;
    {
        const quor::installer::ScopedInstallerPrompts registration(prompts);
        quor::installer::InstallerControls installerControls{&controls, &controls};
        quor::installer::installChains(installerControls, std::wstring(base.begin(), base.end()));
    }
    for (const auto& [name, value] : saved) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }

    EXPECT_EQ(prompts.attempts, (std::vector<int>{1, 2, 3, 4}));
    ASSERT_EQ(proxy.authorizations.size(), 4u);
    EXPECT_EQ(proxy.authorizations[0], "");
    EXPECT_EQ(proxy.authorizations[3].rfind("Basic ", 0), 0u);
    EXPECT_EQ(controls.position, 100);
    EXPECT_EQ(controls.last,
              L"Não foi possível efetuar instalação de cadeias. Erro: No such node "
              L"(Chains)");
    EXPECT_EQ(sorted(readStores()), sorted(before));
}

// ---------------------------------------------------------------------------------------------
// Killed installers and installers side by side.

// A download folder of five chain files (a bundle with its root, single certificates, a bundle
// already partly present), answered a little slowly so a kill can land anywhere in the run.
struct BusyFolder {
    Folder folder;
    BusyFolder() {
        folder.put("Chains.xml", chainsXml({"a.p7b", "b-raiz.crt", "c.p7b", "b.p7b", "c-ac.crt"}));
        const std::map<std::string, std::string> files{{"a.p7b", pkiA().p7b()},
                                                       {"b-raiz.crt", pkiB().root.pem()},
                                                       {"c.p7b", pkiC().p7b()},
                                                       {"b.p7b", pkiB().p7b()},
                                                       {"c-ac.crt", pkiC().inter.pem()}};
        for (const auto& [name, body] : files) {
            folder.handle(name, [body](HttpExchange& exchange) {
                exchange.pause(std::chrono::milliseconds(20));
                exchange.respond(CannedResponse{200, {}, body});
            });
        }
    }
};

// The stores an uninterrupted run leaves, and how long it takes.
struct Reference {
    Stores stores;
    std::chrono::milliseconds duration{};
};

Reference referenceRun(const std::string& baseUrl) {
    ScopedDataHome home;
    Reference reference;
    const auto started = std::chrono::steady_clock::now();
    const ChildResult run = runInstall(baseUrl);
    reference.duration = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.lastLine(), kSuccess);
    reference.stores = sorted(readStores());
    return reference;
}

class KilledInstaller : public ::testing::TestWithParam<int> {};

TEST_P(KilledInstaller, FullRunAfterwardsLeavesTheStoresOfAnUninterruptedRun) {
    BusyFolder busy;
    const Reference reference = referenceRun(busy.folder.baseUrl());
    ASSERT_EQ(reference.stores, sorted(plus(plus(plus({}, pkiA()), pkiB()), pkiC())));

    const unsigned seed = static_cast<unsigned>(GetParam()) * 7919u + 17u;
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> moment(0, reference.duration.count() * 11 / 10);
    constexpr int kKillsPerCase = 10;
    for (int kill = 0; kill < kKillsPerCase; ++kill) {
        ScopedDataHome home;
        const long after = moment(random);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", kill " + std::to_string(kill) + " after " +
                     std::to_string(after) + " ms");
        {
            std::unique_ptr<Child> child = startInstall(busy.folder.baseUrl());
            std::this_thread::sleep_for(std::chrono::milliseconds(after));
            child->kill();
        }
        if (std::filesystem::exists(home.storePath())) {
            EXPECT_EQ(integrityCheck(home.storePath()), "ok\n");
        }
        const ChildResult full = runInstall(busy.folder.baseUrl());
        EXPECT_EQ(full.exitCode, 0) << full.out << full.err;
        EXPECT_EQ(full.lastLine(), kSuccess);
        EXPECT_EQ(integrityCheck(home.storePath()), "ok\n");
        EXPECT_EQ(sorted(readStores()), reference.stores);
    }
}

// 5 cases of 10 kills: 50 interrupted runs, spread over parallel test processes.
INSTANTIATE_TEST_SUITE_P(FiftyKills, KilledInstaller, ::testing::Range(0, 5));

TEST(TwoInstallers, RunningAtOnceBothFinishAndNothingIsLostOrDuplicated) {
    BusyFolder busy;
    const Reference reference = referenceRun(busy.folder.baseUrl());
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ScopedDataHome home;
        installBaseline();
        std::unique_ptr<Child> first = startInstall(busy.folder.baseUrl());
        std::unique_ptr<Child> second = startInstall(busy.folder.baseUrl());
        const ChildResult one = first->wait(std::chrono::seconds(120));
        const ChildResult two = second->wait(std::chrono::seconds(120));
        for (const ChildResult* run : {&one, &two}) {
            EXPECT_EQ(run->exitCode, 0) << run->out << run->err;
            EXPECT_EQ(run->lastLine(), kSuccess);
        }
        // The baseline already held chain B: the same certificates, each once.
        EXPECT_EQ(sorted(readStores()), reference.stores);
        EXPECT_EQ(integrityCheck(home.storePath()), "ok\n");
    }
}

}  // namespace
