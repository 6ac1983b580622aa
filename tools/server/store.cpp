#include "tools/server/store.h"

#include "base/fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace {

constexpr std::int64_t day = 24 * 60 * 60;

// One prepared statement; binds texts and integers in order.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK)
            statement_ = nullptr;
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(statement_); }

    bool ok() const { return statement_ != nullptr; }
    Statement& bind(const std::string& text) {
        if (statement_)
            sqlite3_bind_text(statement_, ++bound_, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(std::int64_t number) {
        if (statement_)
            sqlite3_bind_int64(statement_, ++bound_, number);
        return *this;
    }
    Statement& bind(std::nullptr_t) {
        if (statement_)
            sqlite3_bind_null(statement_, ++bound_);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return statement_ ? sqlite3_step(statement_) : SQLITE_ERROR; }
    std::int64_t number(int column) { return sqlite3_column_int64(statement_, column); }
    std::string text(int column) {
        const unsigned char* bytes = sqlite3_column_text(statement_, column);
        return bytes
                   ? std::string(reinterpret_cast<const char*>(bytes),
                                 static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                   : std::string();
    }

private:
    sqlite3_stmt* statement_ = nullptr;
    int bound_ = 0;
};

std::string sanitizedAccount(const std::string& name) {
    std::string safe;
    for (char c : name.substr(0, 64))
        safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
    return safe.empty() ? "_" : safe;
}

constexpr char uploadSuffix[] = ".zeppelin";
constexpr char temporarySuffix[] = ".zeppelin.part";

bool endsWith(const std::string& text, std::string_view end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The number and the account of an upload file's name, "<number>-<account>.zeppelin"; false for
// a name that is not one.
bool parseUploadName(const std::string& name, std::int64_t& number, std::string& account) {
    std::size_t dash = name.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 18 || !endsWith(name, uploadSuffix) ||
        name.size() <= dash + sizeof uploadSuffix)
        return false;
    for (std::size_t i = 0; i < dash; ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    number = std::atoll(name.substr(0, dash).c_str());
    account = name.substr(dash + 1, name.size() - dash - 1 - (sizeof uploadSuffix - 1));
    return true;
}

std::string hex(const unsigned char (&digest)[crypto_hash_sha256_BYTES]) {
    char text[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(text, sizeof text, digest, sizeof digest);
    return text;
}

// SHA-256 of an upload's inflated bytes, in hex: what recognises an upload sent again.
std::string digestOf(std::string_view bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return hex(digest);
}

// The same of a regular file; false when it cannot be read.
bool digestOfFile(const std::string& path, std::string& digest, struct stat& info) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    unsigned char block[65536];
    for (;;) {
        ssize_t got = ::read(file.get(), block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            break;
        crypto_hash_sha256_update(&state, block, static_cast<unsigned long long>(got));
    }
    unsigned char bytes[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, bytes);
    digest = hex(bytes);
    return true;
}

// The names in a directory, but for "." and ".."; none when it cannot be read.
std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

} // namespace

ReferenceServer::Store::Store(std::string root, int maxHashing)
    : root_(std::move(root)), hashing_(std::clamp(maxHashing, 1, 1024)) {}

ReferenceServer::Store::~Store() {
    sqlite3_close(db_);
}

bool ReferenceServer::Store::execute(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool ReferenceServer::Store::open(std::string& error, Opened& opened) {
    opened = {};
    if (sodium_init() < 0) {
        error = "libsodium cannot start";
        return false;
    }
    std::string path = root_ + "/server.db";
    // Made here so that it is private from the start: it holds the password hashes.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::close(fd) != 0 ||
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open " + path + ": " +
                (db_ ? sqlite3_errmsg(db_) : std::string(std::strerror(errno)));
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    // FULL: a commit is on the disk when it returns, so an upload's row outlives a power cut
    // once its client was told.
    if (!execute("PRAGMA journal_mode=WAL") || !execute("PRAGMA synchronous=FULL") ||
        !execute("CREATE TABLE IF NOT EXISTS accounts (name TEXT PRIMARY KEY NOT NULL, "
                 "hash TEXT NOT NULL, created INTEGER NOT NULL)") ||
        !execute("CREATE TABLE IF NOT EXISTS uploads (id INTEGER PRIMARY KEY, "
                 "account TEXT NOT NULL, time INTEGER NOT NULL, size INTEGER NOT NULL, "
                 "packed INTEGER NOT NULL, file TEXT NOT NULL)") ||
        !execute("CREATE INDEX IF NOT EXISTS uploads_by_account ON uploads (account, time)") ||
        !addAddressColumn() ||
        !execute("CREATE INDEX IF NOT EXISTS uploads_by_address ON uploads (address, time)") ||
        !addDigestColumn(opened.adopted) ||
        !execute("CREATE INDEX IF NOT EXISTS uploads_by_digest ON uploads (account, digest)")) {
        error = "cannot set up " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    if (!sweepUploads(opened.swept)) {
        error = "cannot read the index of the uploads in " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    // Go on numbering after the uploads stored so far, indexed or not.
    Statement last(db_, "SELECT COALESCE(MAX(id), 0) FROM uploads");
    if (last.step() == SQLITE_ROW)
        sequence_ = last.number(0);
    for (const std::string& name : namesIn(root_ + "/uploads"))
        sequence_ = std::max<std::int64_t>(sequence_, std::atoll(name.c_str()));
    std::lock_guard guard(lock_);
    return convertAccounts(error, opened.converted);
}

bool ReferenceServer::Store::convertAccounts(std::string& error, int& converted) {
    converted = 0;
    std::string path = root_ + "/accounts";
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string content;
    char block[65536];
    ssize_t got;
    while ((got = ::read(fd, block, sizeof block)) > 0)
        content.append(block, static_cast<std::size_t>(got));
    if (got < 0) {
        ::close(fd);
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    // Two lines each, name then password; the first record of a name counts.
    std::map<std::string, std::string> accounts;
    std::size_t at = 0;
    for (;;) {
        std::size_t first = content.find('\n', at);
        std::size_t second = first == std::string::npos ? first : content.find('\n', first + 1);
        if (second == std::string::npos)
            break;
        accounts.emplace(content.substr(at, first - at),
                         content.substr(first + 1, second - first - 1));
        at = second + 1;
    }
    std::atomic<bool> never{false};
    bool ok = execute("BEGIN");
    for (const auto& [name, password] : accounts) {
        std::string known, hashed;
        if (!ok || storedHash(name, known))
            continue;
        ok = hash(password, hashed, never);
        Statement insert(db_, "INSERT INTO accounts (name, hash, created) VALUES (?, ?, ?)");
        ok = ok && insert.bind(name).bind(hashed).bind(std::int64_t(std::time(nullptr))).step() ==
                       SQLITE_DONE;
        converted += ok;
    }
    ok = ok && execute("COMMIT");
    if (!ok) {
        execute("ROLLBACK");
        ::close(fd);
        error = "cannot convert " + path + " into the database";
        return false;
    }
    // The passwords must not outlive the conversion in the file's blocks either.
    std::string zeros(content.size(), '\0');
    bool wiped =
        ::pwrite(fd, zeros.data(), zeros.size(), 0) == static_cast<ssize_t>(zeros.size()) &&
        ::fsync(fd) == 0;
    ::close(fd);
    if (::unlink(path.c_str()) != 0 || !wiped) {
        error = "converted " + path + " but cannot remove it: remove it by hand";
        return false;
    }
    sodium_memzero(content.data(), content.size());
    return true;
}

bool ReferenceServer::Store::storedHash(const std::string& user, std::string& hashed) {
    Statement select(db_, "SELECT hash FROM accounts WHERE name = ?");
    if (select.bind(user).step() != SQLITE_ROW)
        return false;
    hashed = select.text(0);
    return true;
}

bool ReferenceServer::Store::hash(const std::string& password, std::string& hashed,
                                  const std::atomic<bool>& stopping) {
    while (!hashing_.try_acquire_for(std::chrono::milliseconds(100)))
        if (stopping)
            return false;
    char out[crypto_pwhash_STRBYTES];
    bool ok =
        crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) == 0;
    hashing_.release();
    if (ok)
        hashed = out;
    return ok;
}

// 1 when the password matches, 0 when not, -1 when it could not be checked.
int ReferenceServer::Store::verify(const std::string& hashed, const std::string& password,
                                   const std::atomic<bool>& stopping) {
    while (!hashing_.try_acquire_for(std::chrono::milliseconds(100)))
        if (stopping)
            return -1;
    // Compares in constant time.
    int result = crypto_pwhash_str_verify(hashed.c_str(), password.data(), password.size());
    hashing_.release();
    return result == 0 ? 1 : 0;
}

ReferenceServer::Store::Login ReferenceServer::Store::login(const std::string& user,
                                                            const std::string& password,
                                                            const std::atomic<bool>& stopping) {
    std::string known, error;
    bool found;
    {
        std::lock_guard guard(lock_);
        // An accounts file put there while the server runs is taken in as on start.
        int converted;
        if (!convertAccounts(error, converted))
            return Login::failed;
        found = storedHash(user, known);
    }
    if (!found) {
        std::string hashed;
        if (!hash(password, hashed, stopping))
            return Login::failed;
        std::lock_guard guard(lock_);
        Statement insert(db_, "INSERT OR IGNORE INTO accounts (name, hash, created) "
                              "VALUES (?, ?, ?)");
        if (insert.bind(user).bind(hashed).bind(std::int64_t(std::time(nullptr))).step() !=
            SQLITE_DONE)
            return Login::failed;
        if (sqlite3_changes(db_) == 1)
            return Login::created;
        // Another session made the account meanwhile: its password counts.
        if (!storedHash(user, known))
            return Login::failed;
    }
    int matches = verify(known, password, stopping);
    return matches < 0 ? Login::failed : matches ? Login::accepted : Login::refused;
}

// The index of a database made before uploads were counted by address gets the column, empty
// for the uploads it already holds.
bool ReferenceServer::Store::addAddressColumn() {
    Statement columns(db_,
                      "SELECT COUNT(*) FROM pragma_table_info('uploads') WHERE name = 'address'");
    if (columns.step() != SQLITE_ROW)
        return false;
    return columns.number(0) > 0 ||
           execute("ALTER TABLE uploads ADD COLUMN address TEXT NOT NULL DEFAULT ''");
}

// The index of a database made before uploads were recognised by their bytes gets their digests,
// in one transaction, so that a stop half-way leaves it as it was. An upload file of that
// version without its row (the server stopped before it, or a power cut took the row) gets one:
// its client may have been told it was stored. A row whose file is gone stays, without a digest.
bool ReferenceServer::Store::addDigestColumn(int& adopted) {
    adopted = 0;
    {
        Statement columns(
            db_, "SELECT COUNT(*) FROM pragma_table_info('uploads') WHERE name = 'digest'");
        if (columns.step() != SQLITE_ROW)
            return false;
        if (columns.number(0) > 0)
            return true;
    }
    if (!execute("BEGIN IMMEDIATE"))
        return false;
    bool ok = execute("ALTER TABLE uploads ADD COLUMN digest TEXT");
    std::vector<std::pair<std::int64_t, std::string>> rows;
    {
        Statement select(db_, "SELECT id, file FROM uploads");
        int step;
        while (ok && (step = select.step()) == SQLITE_ROW)
            rows.emplace_back(select.number(0), select.text(1));
        ok = ok && step == SQLITE_DONE;
    }
    std::unordered_set<std::string> named;
    for (const auto& [id, file] : rows) {
        named.insert(file);
        std::string digest;
        struct stat info {};
        // Only files of our own directory are read.
        if (!ok || file.compare(0, 8, "uploads/") != 0 || file.find('/', 8) != std::string::npos ||
            file.find("..") != std::string::npos || !digestOfFile(root_ + "/" + file, digest, info))
            continue;
        Statement update(db_, "UPDATE uploads SET digest = ? WHERE id = ?");
        ok = update.bind(digest).bind(id).step() == SQLITE_DONE;
    }
    for (const std::string& name : namesIn(root_ + "/uploads")) {
        std::int64_t number;
        std::string account, digest;
        struct stat info {};
        if (!ok || !parseUploadName(name, number, account) || named.count("uploads/" + name) ||
            !digestOfFile(root_ + "/uploads/" + name, digest, info))
            continue;
        // Its number is its id unless a row has that; its account is as the name keeps it.
        Statement taken(db_, "SELECT COUNT(*) FROM uploads WHERE id = ?");
        ok = taken.bind(number).step() == SQLITE_ROW;
        bool free = ok && taken.number(0) == 0;
        Statement insert(db_, "INSERT INTO uploads (id, account, time, size, packed, file, "
                              "address, digest) VALUES (?, ?, ?, ?, 0, ?, '', ?)");
        if (free)
            insert.bind(number);
        else
            insert.bind(nullptr);
        ok = ok && insert.bind(account)
                           .bind(std::int64_t(info.st_mtime))
                           .bind(std::int64_t(info.st_size))
                           .bind("uploads/" + name)
                           .bind(digest)
                           .step() == SQLITE_DONE;
        adopted += ok;
    }
    if (ok && execute("COMMIT"))
        return true;
    execute("ROLLBACK");
    return false;
}

// Removes the upload files that no row names, and the temporaries of uploads being written: what
// a stop between the file and its row leaves. Their clients were never told they were stored.
// Other names in the directory are not ours and stay.
bool ReferenceServer::Store::sweepUploads(int& swept) {
    swept = 0;
    std::unordered_set<std::string> named;
    Statement select(db_, "SELECT file FROM uploads");
    int step;
    while ((step = select.step()) == SQLITE_ROW)
        named.insert(select.text(0));
    if (step != SQLITE_DONE)
        return false;
    for (const std::string& name : namesIn(root_ + "/uploads")) {
        std::int64_t number;
        std::string account;
        bool temporary = endsWith(name, temporarySuffix) &&
                         parseUploadName(name.substr(0, name.size() - 5), number, account);
        if (temporary ||
            (parseUploadName(name, number, account) && !named.count("uploads/" + name)))
            swept += ::unlink((root_ + "/uploads/" + name).c_str()) == 0;
    }
    return true;
}

// Inflated bytes stored during the last 24 hours by `account`, and only from `address` unless it
// is empty; -1 when the index cannot be read.
std::int64_t ReferenceServer::Store::storedSince(std::int64_t since, const std::string& account,
                                                 const std::string& address) {
    Statement sum(db_, address.empty() ? "SELECT COALESCE(SUM(size), 0) FROM uploads "
                                         "WHERE account = ? AND time > ?"
                                       : "SELECT COALESCE(SUM(size), 0) FROM uploads "
                                         "WHERE account = ? AND time > ? AND address = ?");
    sum.bind(account).bind(since);
    if (!address.empty())
        sum.bind(address);
    return sum.step() == SQLITE_ROW ? sum.number(0) : -1;
}

ReferenceServer::Store::Stored
ReferenceServer::Store::storeUpload(const Upload& upload, const Quotas& quotas, std::string& path) {
    std::string digest = digestOf(upload.zeppelin);
    std::lock_guard guard(lock_);
    // Sent again, it is already here: taken before any quota, counted once.
    Statement known(db_, "SELECT file FROM uploads WHERE account = ? AND digest = ? "
                         "ORDER BY id DESC LIMIT 1");
    int found = known.bind(upload.account).bind(digest).step();
    if (found == SQLITE_ROW) {
        path = root_ + "/" + known.text(0);
        // A file removed by hand does not count: the upload is stored again.
        if (::access(path.c_str(), F_OK) == 0)
            return Stored::duplicate;
    } else if (found != SQLITE_DONE) {
        return Stored::failed;
    }

    std::int64_t now = std::time(nullptr);
    auto exceeds = [&](const std::string& address, std::size_t quota, bool& failed) {
        std::int64_t stored = storedSince(now - day, upload.account, address);
        failed = failed || stored < 0;
        return stored >= 0 && static_cast<std::uint64_t>(stored) + upload.zeppelin.size() > quota;
    };
    bool failed = false;
    if (upload.account != "anonymous") {
        if (exceeds("", quotas.perAccount, failed))
            return Stored::overQuota;
    } else {
        if (exceeds(upload.address, quotas.anonymousPerAddress, failed))
            return Stored::overAddressQuota;
        if (exceeds("", quotas.anonymousCeiling, failed))
            return Stored::overCeiling;
    }
    if (failed)
        return Stored::failed;

    char name[32];
    std::snprintf(name, sizeof name, "%06lld", static_cast<long long>(sequence_ + 1));
    std::string directory = root_ + "/uploads";
    ::mkdir(directory.c_str(), 0750);
    std::string file = std::string(name) + "-" + sanitizedAccount(upload.account) + uploadSuffix;
    path = directory + "/" + file;
    std::string temporary = path + ".part";
    // The file is whole under its name on the disk before its row is committed, and the row is
    // on the disk before the client may learn of it. A stop before the commit leaves a file
    // without a row (removed on the next start) and a client that was not told.
    ::unlink(temporary.c_str());
    UniqueFd out(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
    bool written = out && writeAll(out.get(), upload.zeppelin.data(), upload.zeppelin.size()) &&
                   ::fsync(out.get()) == 0;
    if (!out.close() || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return Stored::failed;
    }
    UniqueFd uploads(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!uploads || ::fsync(uploads.get()) != 0) {
        ::unlink(path.c_str());
        return Stored::failed;
    }
    Statement insert(db_, "INSERT INTO uploads (id, account, time, size, packed, file, address, "
                          "digest) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    if (insert.bind(sequence_ + 1)
            .bind(upload.account)
            .bind(now)
            .bind(std::int64_t(upload.zeppelin.size()))
            .bind(std::int64_t(upload.packedSize))
            .bind("uploads/" + file)
            .bind(upload.address)
            .bind(digest)
            .step() != SQLITE_DONE) {
        ::unlink(path.c_str());
        return Stored::failed;
    }
    ++sequence_;
    return Stored::stored;
}

std::vector<std::string> ReferenceServer::Store::accounts() {
    std::lock_guard guard(lock_);
    std::vector<std::string> names;
    Statement select(db_, "SELECT name FROM accounts ORDER BY name");
    while (select.step() == SQLITE_ROW)
        names.push_back(select.text(0));
    return names;
}
