// Several changes of the user's stores and keys made as one database transaction.
#include <mutex>
#include <utility>

#include "platform/sqlite_database.h"
#include "platform/store_backend.h"

namespace quor::platform {

class StoreTransaction::Impl {
  public:
    Impl() : db_(detail::Database::openUserDatabase()) {
        if (!db_)
            return;
        lock_ = std::unique_lock(db_->mutex());
        transaction_.emplace(*db_);
        const int result = transaction_->begin();
        if (result != SQLITE_OK) {
            transaction_.reset();
            setLastError(detail::errorCodeOf(result) == error::kSuccess
                             ? error::kDatabaseError
                             : detail::errorCodeOf(result));
            return;
        }
        // An inner transaction records into the outer one's list and keeps its place there, so
        // that a rollback of the inner one forgets only its own changes.
        outerHeld_ = detail::heldChanges();
        held_ = outerHeld_ ? outerHeld_ : &ownHeld_;
        heldMark_ = held_->changes.size();
        detail::heldChanges() = held_;
    }

    ~Impl() {
        if (transaction_)
            finish(false);
    }

    bool ok() const noexcept { return transaction_.has_value(); }

    bool commit() {
        if (!transaction_)
            return detail::fail(error::kInvalidParameter);
        return finish(true);
    }

  private:
    bool finish(bool keep) {
        detail::heldChanges() = outerHeld_;
        int result = SQLITE_OK;
        if (keep)
            result = transaction_->commit();
        const bool committed = keep && result == SQLITE_OK;
        const bool outermost = !transaction_->nested();
        transaction_.reset();  // rolls back unless committed
        if (!committed && held_ == outerHeld_)
            held_->changes.resize(heldMark_);
        if (keep && !committed) {
            const ErrorCode code = detail::errorCodeOf(result);
            setLastError(code == error::kSuccess ? error::kDatabaseError : code);
        }
        if (!committed || !outermost) {
            if (lock_.owns_lock())
                lock_.unlock();
            return committed;
        }
        detail::HeldChanges held = std::move(ownHeld_);
        if (held.truncateLog)
            detail::truncateWriteAheadLog(*db_);
        lock_.unlock();
        // Observers and mirrors may use the stores themselves: tell them outside the lock.
        for (const StoreChange& change : held.changes)
            detail::notifyStoreChange(change.kind, change.storeName, change.der);
        return true;
    }

    std::shared_ptr<detail::Database> db_;
    std::unique_lock<std::recursive_mutex> lock_;
    std::optional<detail::WriteTransaction> transaction_;
    detail::HeldChanges ownHeld_;
    detail::HeldChanges* outerHeld_ = nullptr;
    detail::HeldChanges* held_ = nullptr;
    std::size_t heldMark_ = 0;
};

StoreTransaction::StoreTransaction() : impl_(std::make_unique<Impl>()) {}
StoreTransaction::~StoreTransaction() = default;

bool StoreTransaction::ok() const noexcept {
    return impl_->ok();
}

bool StoreTransaction::commit() {
    return impl_->commit();
}

}  // namespace quor::platform
