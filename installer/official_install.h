// The national authority's own set of chains: its archive of every accredited authority's
// certificate, checked and installed into the user's stores like the chain list's files.
#pragma once

#include <string>
#include <vector>

#include "installer/installer_controls.h"
#include "signer/model/certificate.h"

namespace quor::installer {

// The folder that holds "hashsha512.txt" and "ACcompactado.zip"; fixed when the program is
// built. Ends with "/".
extern const std::wstring officialArchiveBaseUrl;

struct OfficialCertificate {
    std::string entryName;
    signer::Certificate certificate;
    std::string store;   // where it is or went: "ROOT" or "CA" (or "AddressBook")
    bool added = false;  // false: the store already held it
};

struct OfficialInstallReport {
    bool succeeded = false;
    std::vector<OfficialCertificate> certificates;  // those looked at before any failure
};

// Downloads baseUrl + "hashsha512.txt" and baseUrl + "ACcompactado.zip", refuses the archive
// unless its SHA-512 is the published one, reads its certificates in memory and refuses them all
// unless every root is official and every authority chains by signature to an official root
// (detection/official_archive.h). Only then adds each certificate the stores do not hold yet,
// roots first, through the system repository (roots ask the registered consent question).
// Reports every stage on the controls as the install run does and never throws: a failure ends
// with the bar at 100 and one line "Não foi possível instalar os certificados da ICP-Brasil.
// Erro: " + the reason. A refused archive changes nothing; an addition that fails (a root the
// user declined) keeps what was added before it.
OfficialInstallReport installOfficialArchive(InstallerControls& controls,
                                             const std::wstring& baseUrl);

}  // namespace quor::installer
