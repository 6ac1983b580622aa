#pragma once

#include "tools/server/reference_server.h"

#include <semaphore>
#include <string_view>

struct sqlite3;

// The server's own database, ROOT/server.db: the accounts, with their passwords only as
// Argon2id hashes, and the index of the uploads (account, time, size, file, digest), which also
// gives every account's quota. The uploads themselves are files under ROOT/uploads; a file is
// made (and flushed) before its row is committed, and a file that no row names is removed on
// start, so that a kill at any step leaves every upload with both or neither.
class ReferenceServer::Store {
public:
    // At most `maxHashing` hashes run at once: each takes 64 MiB for about a tenth of a second.
    Store(std::string root, int maxHashing);
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    ~Store();

    // Opens or makes the database (bringing one of an earlier version up to date), removes the
    // upload files that no row names and converts a plain ROOT/accounts file, which is then
    // removed.
    struct Opened {
        int converted = 0; // accounts of the plain file
        int adopted = 0;   // upload files of an earlier version given the row they lacked
        int swept = 0;     // upload files and temporaries without a row, removed
    };
    bool open(std::string& error, Opened& opened);

    enum class Login { accepted, created, refused, failed };
    // A known name must give its password; a new name makes the account. A plain accounts file
    // that appeared meanwhile is converted first. Gives up (failed)
    // when `stopping` is set while it waits for its turn to hash.
    Login login(const std::string& user, const std::string& password,
                const std::atomic<bool>& stopping);

    struct Upload {
        std::string account;
        std::string address; // the client's IPv4 address
        std::string_view zeppelin;
        std::size_t packedSize = 0;
    };
    // The inflated bytes allowed over 24 hours.
    struct Quotas {
        std::size_t perAccount = 0;
        std::size_t anonymousPerAddress = 0; // the account "anonymous", from one address
        std::size_t anonymousCeiling = 0;    // the account "anonymous", from all addresses
    };
    enum class Stored { stored, duplicate, overQuota, overAddressQuota, overCeiling, failed };
    // Writes the upload to its file and indexes it, unless one of the quotas would then be
    // exceeded; `path` names the file. The account's upload of the same bytes, when there is
    // one, is taken for it (duplicate, `path` its file): a client that did not learn that its
    // upload was stored sends it again. The row is on the disk when this returns stored.
    Stored storeUpload(const Upload& upload, const Quotas& quotas, std::string& path);

    std::vector<std::string> accounts();

private:
    bool execute(const char* sql);
    bool addAddressColumn();
    bool addDigestColumn(int& adopted);
    bool sweepUploads(int& swept);
    std::int64_t storedSince(std::int64_t since, const std::string& account,
                             const std::string& address);
    bool storedHash(const std::string& user, std::string& hash);
    bool hash(const std::string& password, std::string& hashed, const std::atomic<bool>& stopping);
    int verify(const std::string& hashed, const std::string& password,
               const std::atomic<bool>& stopping);
    // Takes in a plain ROOT/accounts file, if there is one, and removes it. Holds lock_.
    bool convertAccounts(std::string& error, int& converted);

    std::string root_;
    sqlite3* db_ = nullptr;
    std::mutex lock_; // one statement at a time, and the quota check with its insert
    std::counting_semaphore<1024> hashing_;
    std::int64_t sequence_ = 0; // the last upload's number; guarded by lock_
};
