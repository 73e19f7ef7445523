#pragma once

#include <string>

// What an "Authorization" request header carries, as every REST handler reads it.
struct HXBCredentials
{
    bool basic = false;   // the header held usable Basic credentials
    std::string username; // Basic only
    std::string password; // Basic only
    std::string token;    // Bearer only
};

// Reads the "Authorization" header shared by all REST handlers. Stateless, any thread.
//
// A value that begins with "Bearer " is a token (below). Otherwise a value containing
// "Basic" loses every "Basic " and the rest is decoded as standard
// Base64 (lenient: foreign characters are skipped); the decoded "user-id:password" is split
// at its first ":" (RFC 7617: the user id cannot contain ":", the password may). Without
// any ":" there are no credentials. A value containing "Bearer" loses every "Bearer "
// and the rest is the token.
class HXBBasicAuth
{
public:
    static HXBCredentials parse(const std::string &authorization);

    // Splits decoded Basic credentials at the first ":"; false when there is none.
    static bool splitUserPassword(const std::string &decoded, std::string &username,
                                  std::string &password);
};
