// The current user's system stores, kept in the store database.
#include <array>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/cert_info.h"
#include "platform/key_rows.h"
#include "platform/sqlite_database.h"
#include "platform/store_backend.h"

namespace quor::platform {

namespace {

constexpr std::array<std::string_view, 4> kSystemStores = {kPersonalStore, kAddressBookStore,
                                                           kCaStore, kRootStore};

Sha1Hash toSha1(const Bytes& bytes) {
    Sha1Hash hash{};
    if (bytes.size() == hash.size())
        std::copy(bytes.begin(), bytes.end(), hash.begin());
    return hash;
}

class SqliteStore final : public detail::StoreBackend,
                          public std::enable_shared_from_this<SqliteStore> {
  public:
    SqliteStore(std::string name, std::shared_ptr<detail::Database> db)
        : name_(std::move(name)), db_(std::move(db)) {}

    const std::string& name() const noexcept override { return name_; }

    CertContextPtr findBySha1(const Sha1Hash& sha1) override {
        std::lock_guard lock(db_->mutex());
        detail::Query query(*db_,
                            "SELECT id, der FROM certificates WHERE store = ?1 AND sha1 = ?2");
        query.bind(1, name_).bind(2, sha1.data(), sha1.size());
        const int result = query.step();
        if (result != SQLITE_ROW) {
            setLastError(result == SQLITE_DONE ? error::kNotFound : detail::errorCodeOf(result));
            return nullptr;
        }
        return makeContext(query.blob(1), sha1, query.integer(0));
    }

    CertContextPtr next(const CertContext* previous) override {
        std::lock_guard lock(db_->mutex());
        detail::Query query(*db_,
                            "SELECT id, sha1, der FROM certificates WHERE store = ?1 AND id > ?2 "
                            "ORDER BY id LIMIT 1");
        query.bind(1, name_).bind(2, previous ? previous->rowId() : std::int64_t{0});
        const int result = query.step();
        if (result != SQLITE_ROW) {
            setLastError(result == SQLITE_DONE ? error::kNotFound : detail::errorCodeOf(result));
            return nullptr;
        }
        return makeContext(query.blob(2), toSha1(query.blob(1)), query.integer(0));
    }

    bool add(const Bytes& der, const detail::PropertyList& properties,
             CertContextPtr* added) override {
        const auto info = detail::readCertInfo(der);
        if (!info)
            return detail::fail(error::kBadEncoding);

        if (name_ == kRootStore) {
            // Ask only for a certificate the add would really store, and never while holding
            // the database: the user may take a while to answer.
            Match match;
            {
                std::lock_guard lock(db_->mutex());
                if (!findMatch(*info, &match))
                    return false;
            }
            if (decideAdd(match, *info) == detail::AddAction::Exists) {
                return detail::fail(error::kExists);
            }
            if (!detail::confirmRootAdd(detail::makeRootAddRequest(der, *info))) {
                return detail::fail(error::kCancelled);
            }
        }

        const Sha1Hash sha1 = sha1Of(der);
        std::int64_t rowId = 0;
        detail::AddAction action;
        {
            std::lock_guard lock(db_->mutex());
            detail::WriteTransaction transaction(*db_);
            int result = transaction.begin();
            if (result != SQLITE_OK)
                return detail::fail(detail::errorCodeOf(result));
            Match match;
            if (!findMatch(*info, &match))
                return false;
            action = decideAdd(match, *info);
            if (action == detail::AddAction::Exists)
                return detail::fail(error::kExists);
            if (action == detail::AddAction::Append) {
                detail::Query insert(*db_,
                                     "INSERT INTO certificates (store, sha1, identity, "
                                     "not_before, der, subject_hash, key_id) "
                                     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
                insert.bind(1, name_)
                    .bind(2, sha1.data(), sha1.size())
                    .bind(3, info->identity)
                    .bind(4, static_cast<std::int64_t>(info->notBefore))
                    .bind(5, der);
                bindIssuerIndex(insert, *info, 6, 7);
                result = insert.step();
                rowId = sqlite3_last_insert_rowid(db_->handle());
            } else {
                // The newer certificate takes the place (and the properties) of the older one.
                detail::Query update(*db_,
                                     "UPDATE certificates SET sha1 = ?1, not_before = ?2, der = ?3, "
                                     "subject_hash = ?5, key_id = ?6 WHERE id = ?4");
                update.bind(1, sha1.data(), sha1.size())
                    .bind(2, static_cast<std::int64_t>(info->notBefore))
                    .bind(3, der)
                    .bind(4, match.id);
                bindIssuerIndex(update, *info, 5, 6);
                result = update.step();
                rowId = match.id;
            }
            if (result != SQLITE_DONE)
                return detail::fail(detail::errorCodeOf(result));
            for (const auto& [id, value] : properties) {
                if (!writeProperty(rowId, id, &value))
                    return false;
            }
            result = transaction.commit();
            if (result != SQLITE_OK)
                return detail::fail(detail::errorCodeOf(result));
        }
        detail::notifyStoreChange(action == detail::AddAction::Append ? StoreChangeKind::Added
                                                                      : StoreChangeKind::Replaced,
                                  name_, der);
        if (added)
            *added = makeContext(der, sha1, rowId);
        return true;
    }

    bool remove(const CertContext& context) override {
        {
            std::lock_guard lock(db_->mutex());
            detail::WriteTransaction transaction(*db_);
            int result = transaction.begin();
            if (result != SQLITE_OK)
                return detail::fail(detail::errorCodeOf(result));
            const Sha1Hash& sha1 = context.sha1();
            // The key goes with the certificate, in the same change, unless something else
            // still needs it.
            Bytes keyLink;
            {
                detail::Query link(*db_,
                                   "SELECT p.value FROM certificate_properties p JOIN certificates "
                                   "c ON c.id = p.certificate_id WHERE c.store = ?1 AND "
                                   "c.sha1 = ?2 AND p.property_id = ?3");
                link.bind(1, name_)
                    .bind(2, sha1.data(), sha1.size())
                    .bind(3, static_cast<std::int64_t>(CertProperty::KeyLink));
                result = link.step();
                if (result == SQLITE_ROW)
                    keyLink = link.blob(0);
                else if (result != SQLITE_DONE)
                    return detail::fail(detail::errorCodeOf(result));
            }
            {
                detail::Query properties(
                    *db_,
                    "DELETE FROM certificate_properties WHERE certificate_id IN "
                    "(SELECT id FROM certificates WHERE store = ?1 AND sha1 = ?2)");
                properties.bind(1, name_).bind(2, sha1.data(), sha1.size());
                result = properties.step();
                if (result != SQLITE_DONE)
                    return detail::fail(detail::errorCodeOf(result));
            }
            detail::Query certificate(*db_,
                                      "DELETE FROM certificates WHERE store = ?1 AND sha1 = ?2");
            certificate.bind(1, name_).bind(2, sha1.data(), sha1.size());
            result = certificate.step();
            if (result != SQLITE_DONE)
                return detail::fail(detail::errorCodeOf(result));
            if (sqlite3_changes(db_->handle()) == 0)
                return detail::fail(error::kNotFound);
            bool keyDeleted = false;
            if (!detail::deleteKeyIfUnlinked(*db_, keyLink, &keyDeleted))
                return false;
            result = transaction.commit();
            if (result != SQLITE_OK)
                return detail::fail(detail::errorCodeOf(result));
            if (keyDeleted)
                detail::scrubDeletedKeys(*db_);
        }
        detail::notifyStoreChange(StoreChangeKind::Removed, name_, context.der());
        return true;
    }

    bool setProperty(std::int64_t rowId, std::uint32_t id, const Bytes* value) override {
        std::lock_guard lock(db_->mutex());
        detail::WriteTransaction transaction(*db_);
        int result = transaction.begin();
        if (result != SQLITE_OK)
            return detail::fail(detail::errorCodeOf(result));
        if (!rowExists(rowId))
            return false;
        if (!writeProperty(rowId, id, value))
            return false;
        result = transaction.commit();
        if (result != SQLITE_OK)
            return detail::fail(detail::errorCodeOf(result));
        return true;
    }

    bool getProperty(std::int64_t rowId, std::uint32_t id, Bytes* value) override {
        std::lock_guard lock(db_->mutex());
        detail::Query query(*db_,
                            "SELECT p.value FROM certificate_properties p JOIN certificates c "
                            "ON c.id = p.certificate_id WHERE c.id = ?1 AND c.store = ?2 AND "
                            "p.property_id = ?3");
        query.bind(1, rowId).bind(2, name_).bind(3, static_cast<std::int64_t>(id));
        const int result = query.step();
        if (result != SQLITE_ROW) {
            return detail::fail(result == SQLITE_DONE ? error::kNotFound
                                                      : detail::errorCodeOf(result));
        }
        *value = query.blob(0);
        return true;
    }

    bool allProperties(std::int64_t rowId, detail::PropertyList* properties) override {
        std::lock_guard lock(db_->mutex());
        if (!rowExists(rowId))
            return false;
        detail::Query query(*db_,
                            "SELECT property_id, value FROM certificate_properties "
                            "WHERE certificate_id = ?1 ORDER BY property_id");
        query.bind(1, rowId);
        properties->clear();
        int result;
        while ((result = query.step()) == SQLITE_ROW) {
            properties->emplace_back(static_cast<std::uint32_t>(query.integer(0)), query.blob(1));
        }
        if (result != SQLITE_DONE)
            return detail::fail(detail::errorCodeOf(result));
        return true;
    }

  private:
    struct Match {
        std::int64_t id = 0;
        std::optional<std::time_t> notBefore;
    };

    // Parameters left unbound are NULL: a certificate without a name hash or key identifier is
    // a candidate issuer for every lookup.
    static void bindIssuerIndex(detail::Query& query, const detail::CertInfo& info, int hashIndex,
                                int keyIdIndex) {
        if (info.subjectHash)
            query.bind(hashIndex, *info.subjectHash);
        if (!info.subjectKeyId.empty())
            query.bind(keyIdIndex, info.subjectKeyId);
    }

    static detail::AddAction decideAdd(const Match& match, const detail::CertInfo& info) {
        return detail::decideAdd(match.notBefore, info.notBefore);
    }

    // The stored certificate with the same identity, if any.
    bool findMatch(const detail::CertInfo& info, Match* match) {
        detail::Query query(*db_,
                            "SELECT id, not_before FROM certificates "
                            "WHERE store = ?1 AND identity = ?2");
        query.bind(1, name_).bind(2, info.identity);
        const int result = query.step();
        if (result == SQLITE_ROW) {
            match->id = query.integer(0);
            match->notBefore = static_cast<std::time_t>(query.integer(1));
            return true;
        }
        if (result == SQLITE_DONE)
            return true;
        return detail::fail(detail::errorCodeOf(result));
    }

    bool rowExists(std::int64_t rowId) {
        detail::Query query(*db_, "SELECT 1 FROM certificates WHERE id = ?1 AND store = ?2");
        query.bind(1, rowId).bind(2, name_);
        const int result = query.step();
        if (result == SQLITE_ROW)
            return true;
        return detail::fail(result == SQLITE_DONE ? error::kNotFound : detail::errorCodeOf(result));
    }

    bool writeProperty(std::int64_t rowId, std::uint32_t id, const Bytes* value) {
        int result;
        if (value) {
            detail::Query query(*db_,
                                "INSERT INTO certificate_properties (certificate_id, property_id, "
                                "value) VALUES (?1, ?2, ?3) ON CONFLICT (certificate_id, "
                                "property_id) DO UPDATE SET value = excluded.value");
            query.bind(1, rowId).bind(2, static_cast<std::int64_t>(id)).bind(3, *value);
            result = query.step();
        } else {
            detail::Query query(*db_,
                                "DELETE FROM certificate_properties "
                                "WHERE certificate_id = ?1 AND property_id = ?2");
            query.bind(1, rowId).bind(2, static_cast<std::int64_t>(id));
            result = query.step();
        }
        if (result != SQLITE_DONE)
            return detail::fail(detail::errorCodeOf(result));
        return true;
    }

    CertContextPtr makeContext(Bytes der, const Sha1Hash& sha1, std::int64_t rowId) {
        return std::make_shared<const CertContext>(std::move(der), sha1, name_, rowId,
                                                   shared_from_this());
    }

    std::string name_;
    std::shared_ptr<detail::Database> db_;
};

}  // namespace

StoreSession::StoreSession() {
    const ErrorCode saved = lastError();
    database_ = detail::Database::openUserDatabase();
    setLastError(saved);
}

StoreSession::~StoreSession() = default;

CertStorePtr openSystemStore(std::string_view name) {
    bool known = false;
    for (std::string_view store : kSystemStores)
        known = known || store == name;
    if (!known) {
        setLastError(error::kInvalidParameter);
        return nullptr;
    }
    auto db = detail::Database::openUserDatabase();
    if (!db)
        return nullptr;
    return detail::makeStoreHandle(std::make_shared<SqliteStore>(std::string(name), std::move(db)));
}

}  // namespace quor::platform
