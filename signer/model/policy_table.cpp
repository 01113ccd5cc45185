#include "signer/model/policy_table.h"

#include <algorithm>
#include <cstddef>
#include <optional>

#include "signer/model/text.h"

namespace quor::signer {

namespace {

// One numbered arc of the table: its head row, then one row for each child 1..lastChild.
struct PolicyArc {
    const wchar_t* oid;
    const wchar_t* name;  // description of the head; children repeat it with their own OID
    int firstChild;
    int lastChild;
};

// Practice statements (DPC) of the certification authorities: the root's statement is arc 0,
// the accredited authorities' statements follow.
constexpr const wchar_t* kPracticeStatementsArc = L"2.16.76.1.1";
constexpr const wchar_t* kPracticeStatementsName = L"Declarações de Práticas de Certificação";
constexpr const wchar_t* kRootStatementName =
    L"Declaração de Práticas de Certificação da autoridade certificadora raiz";
constexpr const wchar_t* kAuthorityStatementName =
    L"Declaração de Práticas de Certificação de AC de primeiro nível";
constexpr int kLastAuthorityStatement = 35;

// Certificate policies (PC), one arc per certificate type of the ICP-Brasil profile: signature
// (A1-A4), confidentiality (S1-S4), authority certificates and time-stamping (T3, T4).
constexpr const wchar_t* kPoliciesArc = L"2.16.76.1.2";
constexpr const wchar_t* kPoliciesName = L"Políticas de Certificado";
constexpr PolicyArc kPolicyArcs[] = {
    {L"2.16.76.1.2.1", L"Política de Certificado de Assinatura Digital Tipo A1", 1, 30},
    {L"2.16.76.1.2.2", L"Política de Certificado de Assinatura Digital Tipo A2", 1, 7},
    {L"2.16.76.1.2.3", L"Política de Certificado de Assinatura Digital Tipo A3", 1, 27},
    {L"2.16.76.1.2.4", L"Política de Certificado de Assinatura Digital Tipo A4", 1, 12},
    {L"2.16.76.1.2.101", L"Política de Certificado de Sigilo Tipo S1", 1, 9},
    {L"2.16.76.1.2.102", L"Política de Certificado de Sigilo Tipo S2", 1, 6},
    {L"2.16.76.1.2.103", L"Política de Certificado de Sigilo Tipo S3", 1, 8},
    {L"2.16.76.1.2.104", L"Política de Certificado de Sigilo Tipo S4", 1, 6},
    {L"2.16.76.1.2.201", L"Política de Certificado de Autoridade Certificadora", 1, 7},
    {L"2.16.76.1.2.303", L"Política de Certificado de Carimbo do Tempo Tipo T3", 1, 7},
    {L"2.16.76.1.2.304", L"Política de Certificado de Carimbo do Tempo Tipo T4", 1, 7},
};

void addNumberedRow(std::vector<PolicyDescriptionRow>& rows, const std::wstring& arc, int number,
                    const std::wstring& name) {
    std::wstring oid = arc + L"." + std::to_wstring(number);
    std::wstring description = name + L" (" + oid + L")";
    rows.push_back({std::move(oid), std::move(description)});
}

std::vector<PolicyDescriptionRow> buildTable() {
    std::vector<PolicyDescriptionRow> rows;
    rows.reserve(175);
    rows.push_back({kPracticeStatementsArc, kPracticeStatementsName});
    addNumberedRow(rows, kPracticeStatementsArc, 0, kRootStatementName);
    for (int n = 1; n <= kLastAuthorityStatement; ++n)
        addNumberedRow(rows, kPracticeStatementsArc, n, kAuthorityStatementName);
    rows.push_back({kPoliciesArc, kPoliciesName});
    for (const PolicyArc& arc : kPolicyArcs) {
        rows.push_back({arc.oid, arc.name});
        for (int n = arc.firstChild; n <= arc.lastChild; ++n)
            addNumberedRow(rows, arc.oid, n, arc.name);
    }
    return rows;
}

// Reads an arc as a 16-bit signed number: an optional sign and at least one decimal digit, with
// nothing else around them.
std::optional<int> readArcNumber(std::wstring_view arc) {
    bool negative = false;
    if (!arc.empty() && (arc.front() == L'-' || arc.front() == L'+')) {
        negative = arc.front() == L'-';
        arc.remove_prefix(1);
    }
    if (arc.empty())
        return std::nullopt;
    long value = 0;
    for (wchar_t c : arc) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        value = value * 10 + (c - L'0');
        if (value > 32768)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > 32767)
        return std::nullopt;
    return static_cast<int>(value);
}

// Splits off the next arc of `oid` (up to the next "."), leaving the rest in `oid`.
std::wstring_view nextArc(std::wstring_view& oid) {
    const std::size_t dot = oid.find(L'.');
    std::wstring_view arc = oid.substr(0, dot);
    oid = dot == std::wstring_view::npos ? std::wstring_view{} : oid.substr(dot + 1);
    return arc;
}

}  // namespace

const std::vector<PolicyDescriptionRow>& policyDescriptionTable() {
    static const std::vector<PolicyDescriptionRow> table = buildTable();
    return table;
}

bool policyOidRowLess(std::wstring_view row, std::wstring_view oid) {
    // An empty text has no arcs; a non-empty one has one arc more than it has dots.
    bool rowHasArcs = !row.empty();
    bool oidHasArcs = !oid.empty();
    while (rowHasArcs && oidHasArcs) {
        const bool rowLast = row.find(L'.') == std::wstring_view::npos;
        const bool oidLast = oid.find(L'.') == std::wstring_view::npos;
        const std::wstring_view rowArc = nextArc(row);
        const std::wstring_view oidArc = nextArc(oid);
        if (rowArc != oidArc) {
            const std::optional<int> rowNumber = readArcNumber(rowArc);
            const std::optional<int> oidNumber = readArcNumber(oidArc);
            if (!rowNumber || !oidNumber)
                return true;
            return *rowNumber < *oidNumber;
        }
        rowHasArcs = !rowLast;
        oidHasArcs = !oidLast;
    }
    return !rowHasArcs && oidHasArcs;
}

std::wstring describePolicy(const std::string& oidText) {
    const std::wstring oid = toWideText(oidText);
    const std::vector<PolicyDescriptionRow>& table = policyDescriptionTable();
    const auto found =
        std::lower_bound(table.begin(), table.end(), oid,
                         [](const PolicyDescriptionRow& row, const std::wstring& key) {
                             return policyOidRowLess(row.oid, key);
                         });
    if (found != table.end() && found->oid == oid && !found->description.empty())
        return found->description;
    return L"(" + oid + L")";
}

}  // namespace quor::signer
