#include "directory/server/Query.h"

#include "util/AsciiText.h"

namespace {

// The pieces of a query between '&' characters, empty ones included.
std::vector<std::string_view> SplitQuery(std::string_view query) {
    std::vector<std::string_view> pieces;
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t end = query.find('&', pos);
        if (end == std::string_view::npos) {
            end = query.size();
        }
        pieces.push_back(query.substr(pos, end - pos));
        pos = end + 1;
    }
    return pieces;
}

}  // namespace

bool PercentDecode(std::string_view in, bool plusIsSpace, std::string* out) {
    out->clear();
    out->reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) {
                return false;
            }
            int hi = AsciiHexValue(in[i + 1]);
            int lo = AsciiHexValue(in[i + 2]);
            if (hi < 0 || lo < 0) {
                return false;
            }
            out->push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out->push_back(' ');
        } else {
            out->push_back(c);
        }
    }
    return true;
}

bool ParseQuery(std::string_view query, std::vector<QueryParam>* out, std::string* error) {
    out->clear();
    for (std::string_view piece : SplitQuery(query)) {
        if (piece.empty()) {
            continue;
        }
        size_t eq = piece.find('=');
        QueryParam p;
        std::string_view rawKey = piece.substr(0, eq);
        std::string_view rawValue =
            eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
        if (!PercentDecode(rawKey, true, &p.key) || !PercentDecode(rawValue, true, &p.value)) {
            std::string_view shown = rawKey.substr(0, 40);
            *error = "bad percent-encoding in " + std::string(shown);
            return false;
        }
        out->push_back(std::move(p));
    }
    return true;
}

void Params::Add(std::vector<QueryParam> more) {
    for (QueryParam& p : more) {
        m_all.push_back(std::move(p));
    }
}

size_t Params::Count(std::string_view key) const {
    size_t n = 0;
    for (const QueryParam& p : m_all) {
        n += EqualsIgnoringAsciiCase(p.key, key) ? 1 : 0;
    }
    return n;
}

const std::string* Params::One(std::string_view key) const {
    const std::string* found = nullptr;
    for (const QueryParam& p : m_all) {
        if (EqualsIgnoringAsciiCase(p.key, key)) {
            if (found != nullptr) {
                return nullptr;
            }
            found = &p.value;
        }
    }
    return found;
}

std::vector<std::string> Params::All(std::string_view key) const {
    std::vector<std::string> values;
    for (const QueryParam& p : m_all) {
        if (EqualsIgnoringAsciiCase(p.key, key)) {
            values.push_back(p.value);
        }
    }
    return values;
}

bool HidesValue(std::string_view rawKey) {
    std::string key;
    if (!PercentDecode(rawKey, true, &key)) {
        return true;
    }
    for (size_t i = 0; i + 4 <= key.size(); ++i) {
        if (EqualsIgnoringAsciiCase(std::string_view(key).substr(i, 4), "pass")) {
            return true;
        }
    }
    return false;
}

std::string RedactQuery(std::string_view query) {
    // Pieces end at '&' and also at '?': a stray '?' must not hide a password key inside the
    // value of the key before it.
    std::string out;
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t end = query.find_first_of("&?", pos);
        if (end == std::string_view::npos) {
            end = query.size();
        }
        std::string_view piece = query.substr(pos, end - pos);
        size_t eq = piece.find('=');
        if (eq != std::string_view::npos && HidesValue(piece.substr(0, eq))) {
            out.append(piece.substr(0, eq + 1));
            out += "***";
        } else {
            out.append(piece);
        }
        if (end < query.size()) {
            out += query[end];
        }
        pos = end + 1;
    }
    return out;
}
