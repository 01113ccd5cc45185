// How quor-certs shows what reached the user's NSS databases (browsers, mail).
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "platform/nss_mirror.h"

namespace quor::cli {

// Text lines for the databases of a report, each line indented by `indent`: the database, what
// was done there, or why it could not be written. Databases where nothing happened are left out.
// The certificates NSS cannot hold follow, once each (unsupportedText).
std::string mirrorReportText(const platform::MirrorReport& report, const std::string& indent);

// The report as JSON: [{"program", "profile", "directory", "status", "changes": [{"action",
// "fingerprint", "nickname"}], "notes": [...]}].
nlohmann::json mirrorReportJson(const platform::MirrorReport& report);

// One line for each certificate of the report that NSS cannot hold, with its key type; empty
// when there is none.
std::string unsupportedText(const platform::MirrorReport& report, const std::string& indent);

// The same as JSON: [{"fingerprint", "subjectName", "keyType"}].
nlohmann::json unsupportedJson(const platform::MirrorReport& report);

// "não suportado pelo NSS (chave Ed448)".
std::string unsupportedLabel(const std::string& keyType);

// "ab cd ..." of a SHA-1 hash.
std::string fingerprintText(const platform::Sha1Hash& sha1);

}  // namespace quor::cli
