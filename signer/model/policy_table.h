// Descriptions of the ICP-Brasil practice-statement and certificate-policy OIDs.
//
// The table holds one row per OID of the arcs 2.16.76.1.1 (practice statements of the
// certification authorities) and 2.16.76.1.2 (certificate policies), sorted in OID order as
// policyOidRowLess defines it, so that a policy found in a certificate is looked up by bisection.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quor::signer {

struct PolicyDescriptionRow {
    std::wstring oid;          // dotted numeric OID text
    std::wstring description;  // Portuguese name of the document the OID identifies
};

// policyDescriptionTable returns the read-only table of 175 rows, built once on first use and
// kept for the life of the process. Safe to call from any thread.
const std::vector<PolicyDescriptionRow>& policyDescriptionTable();

// policyOidRowLess tells whether the row OID `row` sorts before the OID `oid`. Both are split
// at "." and compared arc by arc from the left; at the first pair of different arcs both are read
// as 16-bit signed numbers and the smaller number sorts first. When either of those arcs is not
// such a number the row counts as smaller. When all compared arcs are equal, the OID with fewer
// arcs sorts first.
bool policyOidRowLess(std::wstring_view row, std::wstring_view oid);

// describePolicy returns the description of the policy OID text `oidText` when the table has a
// row for exactly that text with a description, otherwise "(" + oidText + ")". The text is
// widened byte by byte (Latin-1), so any text is accepted.
std::wstring describePolicy(const std::string& oidText);

}  // namespace quor::signer
