#pragma once

#include <string>
#include <string_view>
#include <vector>

// Form and query decoding for the service's pages.

// Decodes "%XX" escapes (and "+" as a blank when plusIsSpace). False on a "%" that is not
// followed by two hexadecimal digits; *out is then unspecified.
bool PercentDecode(std::string_view in, bool plusIsSpace, std::string* out);

struct QueryParam {
    std::string key;
    std::string value;
};

// The decoded pairs of "k=v&k2=v2" in order (empty pieces are skipped, a piece without "="
// is a key with an empty value). False on a bad escape; *error then names the piece.
bool ParseQuery(std::string_view query, std::vector<QueryParam>* out, std::string* error);

// The pairs of a request, looked up by key without regard to case.
class Params {
  public:
    Params() = default;
    explicit Params(std::vector<QueryParam> all) : m_all(std::move(all)) {}

    void Add(std::vector<QueryParam> more);
    size_t Count(std::string_view key) const;
    // The value of a key given exactly once; null when it is missing or repeated.
    const std::string* One(std::string_view key) const;
    std::vector<std::string> All(std::string_view key) const;

  private:
    std::vector<QueryParam> m_all;
};

// Whether the log hides the value of a raw (still encoded) query key: a key that names a password
// ("Pass", "Pass2", or any other with "pass" in it, in any case), and a key that cannot be
// decoded, which no page reads and which could be either.
bool HidesValue(std::string_view rawKey);

// The raw query with the values of the password keys (any key with "pass" in it, and any key
// that cannot be decoded) replaced by "***", for the request log.
std::string RedactQuery(std::string_view query);
