#pragma once

#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Account type as stored in USERS.mType. An administrator is type exactly 1.
enum FUserType : int {
    FUserTypeNormal = 0,
    FUserTypeAdmin = 1,
};

// A user account: one row of USERS and, while the server runs, one shared object in
// allUsers. Always owned through std::shared_ptr (createInDb and destroy need it).
//
// Thread safety: every operation may be called from any thread. allUsersMutex guards
// allUsers; each user's mMemberMutex guards its own name, type, hash and token set.
// Lock order: allUsersMutex, then a user's mMemberMutex; never the reverse. The public
// members are for reading under mMemberMutex (or through the getters, which lock it);
// change them only through the setters.
//
// The setters change the member at once and hand the UPDATE to HXBDBCtrl, which writes
// it later on its own thread, in the order the changes were made.
class User : public std::enable_shared_from_this<User>
{
public:
    User() = default;
    virtual ~User() = default;
    User(const User &) = delete;
    User &operator=(const User &) = delete;

    // Creates the table (with the default administrator when it was read and found empty)
    // and loads every account. When the database cannot be read, that is logged and tried
    // again at every look-up (getUserById, getUserByName, getAllUsers, countAdmins) until it
    // succeeds; later calls do nothing.
    static void init();
    // False when the table could not be created or read; no administrator is made then.
    static bool initTables();
    // Loads every row of USERS not yet in allUsers (init's second step); false when the
    // table could not be read.
    static bool loadAllUsers();

    // Inserts an empty row under an ID above every ID ever issued (a deleted account's ID is
    // never reused), takes that id and appends this user to allUsers.
    virtual void createInDb();
    // Reads name, hash and type of mId; members keep their values if there is no row.
    virtual bool initFromDb();
    // Deletes the row of mId and removes this user from allUsers.
    virtual void destroy();

    static std::shared_ptr<User> create(const std::string &username);
    // Empty when no row could be inserted or the password could not be hashed; nothing of
    // the account is kept then.
    static std::shared_ptr<User> create(const std::string &username, const std::string &password,
                                        FUserType type);

    // Each change is written to the account's row at once; when the database does not take
    // it (or hashing fails) the old value stays, it is logged and the result is false.
    bool setUsername(const std::string &name);
    bool setType(FUserType type);
    // Stores a new salted hash.
    bool setPassword(const std::string &password);
    // Costs one key derivation (about 0.2 s at 600000 iterations): keep it off the main thread.
    bool checkPassword(const std::string &password) const;
    // Stores a new salted hash and ends every session in one step under mMemberMutex; false
    // (old password and sessions kept) when hashing fails or the database does not take it.
    bool resetPassword(const std::string &password);
    // The same for the user's own change: every session but the one of currentToken ends.
    bool changeOwnPassword(const std::string &password, const std::string &currentToken);

    // Checks the password of the account named username and opens a session: its signed
    // token, or empty. Costs one key derivation whether or not the name exists, so the
    // answer time does not tell which names exist. The session is opened only if the
    // password was not changed during the check: a reset that ends every session also ends
    // one whose log-in was checked against the old password.
    // Attempts are throttled per name and per client address (HXBLoginThrottle): while one
    // must wait, it is refused unchecked and *retryAfterSeconds (if given) is set to the
    // seconds left. Failures are logged as warnings with the name and the address.
    static std::string login(const std::string &username, const std::string &password,
                             const std::string &address = std::string(),
                             qint64 *retryAfterSeconds = nullptr);
    // The account whose password this is (HTTP Basic), throttled and logged like login(); one
    // key derivation whether or not the name exists (none when the password verified lately).
    static std::shared_ptr<User> authenticate(const std::string &username,
                                              const std::string &password,
                                              const std::string &address,
                                              qint64 *retryAfterSeconds = nullptr);

    int getId() const;
    FUserType getType() const;
    bool isAdmin() const;
    std::string getUsername() const;

    static std::shared_ptr<User> getUserById(int id);
    static std::shared_ptr<User> getUserByName(const std::string &name);
    static std::vector<std::shared_ptr<User>> getAllUsers();
    static int countAdmins();

    // Session tokens. A token is accepted only while its hash is in the user's set;
    // the set lives in memory only, so a restart ends every session.
    std::string generateTokenHash();
    // A new signed token for this user; empty (and logged) on failure.
    std::string generateToken();
    // The user whose open session the token is, or empty. Never throws, never logs.
    static std::shared_ptr<User> getUserByToken(const std::string &token);
    // A new signed token for the user of a still open session, or empty. The session is
    // checked and the new one added in one step under mMemberMutex. Renewal ends
    // Core/session_max_hours after the log-in the session goes back to: no token of it
    // reaches past that time.
    static std::string renewSession(const std::string &token);
    // Ends the session of a valid token; true if its hash was removed.
    static bool logoutUserByToken(const std::string &token);
    bool clearToken(const std::string &hash);
    void clearAllTokens();
    // A copy of the open session hashes, taken under mMemberMutex.
    std::set<std::string> getTokenHashes() const;

    int mId = -1;
    FUserType mType = FUserTypeNormal;
    std::string mUsername;
    std::string mPassword;
    // An open session: the time (seconds since the epoch) after which its token is no longer
    // accepted, and the time of the log-in that began it (kept through renewals).
    struct Session
    {
        std::int64_t expiry = 0;
        std::int64_t loginTime = 0;
    };
    // Open sessions by token hash. Sessions past their expiry are dropped when the next opens.
    std::map<std::string, Session> mTokenHashes;

    static std::vector<std::shared_ptr<User>> allUsers;
    static std::mutex allUsersMutex;

private:
    // Hashes the password and writes it; then, still under mMemberMutex, runs endSessions when
    // given. False (nothing changed) when hashing fails or the database does not take it.
    bool storePassword(const std::string &password, const std::function<void()> &endSessions);

    // Loads the accounts if init() could not; taken before allUsersMutex, never inside it.
    static void retryPendingLoad();
    static std::atomic<bool> sLoadPending;
    static std::mutex sLoadMutex;

    friend class UserTestAccess;

    struct TokenIdentity
    {
        int userId = 0;
        std::string tokenHash;
    };
    // Verifies signature, issuer, expiry and claim types; false for anything else.
    static bool decodeToken(const std::string &token, TokenIdentity &identity);
    // Draws a session hash that is not open yet and adds it, for a session begun by the
    // log-in at loginTime (now if 0); mMemberMutex must be held. Its expiry goes to *expiry.
    std::string addTokenHashLocked(std::int64_t loginTime = 0, std::int64_t *expiry = nullptr);
    // Signs a token for the session hash; empty (and logged) on failure.
    std::string signToken(const std::string &hash, std::int64_t expiry);
    // login() and authenticate(): the account and the stored hash the password verified
    // against, or empty; throttled and logged.
    static std::shared_ptr<User> checkLogin(const std::string &username, const std::string &password,
                                            const std::string &address, qint64 *retryAfterSeconds,
                                            bool useVerifiedCache, std::string *checkedHash);
    static std::shared_ptr<User> findByIdLocked(int id);
    // The process's HMAC key for session tokens: 32 bytes from the OpenSSL random source,
    // drawn on first use and never written anywhere. Empty if drawing failed.
    static const std::string &signingKey();
    // Checked in place of a missing account's hash: it costs what every stored one costs.
    // Made on first use (one derivation).
    static const std::string &absentAccountHash();

    mutable std::mutex mMemberMutex;

    // A password that verified recently, kept as an HMAC under the process's signing key and
    // tied to the stored hash it verified against, so that HTTP Basic clients do not pay a
    // password derivation on every request. Guarded by mMemberMutex; void once the stored
    // hash changes or sVerifiedLifetimeMs passes.
    static constexpr qint64 sVerifiedLifetimeMs = 5 * 60 * 1000;
    mutable std::string mVerifiedMac;
    mutable std::string mVerifiedAgainst;
    mutable qint64 mVerifiedUntilMs = 0;
};
