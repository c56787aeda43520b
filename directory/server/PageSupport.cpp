#include "directory/server/PageSupport.h"

#include <cstdint>

#include "directory/protocol/Pages.h"
#include "util/AsciiText.h"

namespace pages = directory::pages;
namespace replies = directory::replies;

namespace {

struct PageName {
    const char* name;
    Page page;
};

constexpr PageName kPages[] = {
    {pages::kLogin, Page::Login},           {pages::kLogoff, Page::Logoff},
    {pages::kIamUp, Page::IamUp},           {pages::kUserList, Page::UserList},
    {pages::kCallReport, Page::CallReport}, {pages::kSyncBuddies, Page::SyncBuddies},
    {pages::kRegister, Page::Register},     {pages::kMyAccount, Page::MyAccount},
    {pages::kCallBuddy, Page::CallBuddy},   {directory::encryption::kBuddyKeyPage, Page::BuddyKey},
};

}  // namespace

Page PageNamed(std::string_view name) {
    for (const PageName& p : kPages) {
        if (EqualsIgnoringAsciiCase(name, p.name)) {
            return p.page;
        }
    }
    return Page::None;
}

std::string PageLabel(Page page) {
    for (const PageName& p : kPages) {
        if (p.page == page) {
            return p.name;
        }
    }
    switch (page) {
        case Page::Index:
            return "/";
        case Page::Discovery:
            return pages::kDiscovery;
        default:
            return "-";
    }
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

bool HasControl(std::string_view s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

bool IsUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        // The count of continuation bytes the lead byte announces; 4 for a byte that leads none.
        size_t more = c < 0x80           ? 0
                      : (c >> 5) == 0x6  ? 1
                      : (c >> 4) == 0xE  ? 2
                      : (c >> 3) == 0x1E ? 3
                                         : 4;
        if (more == 4 || i + more >= s.size()) {
            return false;
        }
        uint32_t cp = more == 0 ? c : c & (0x3F >> more);
        for (size_t k = 1; k <= more; ++k) {
            auto n = static_cast<unsigned char>(s[i + k]);
            if ((n & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (n & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[more] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            return false;
        }
        i += more + 1;
    }
    return true;
}

std::string RefusalText(std::string_view reason) {
    std::string text(1, replies::kRefused);
    text += replies::kErrorWord;
    text += reason;
    return text;
}

HttpReply Text(int status, std::string body) {
    HttpReply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

HttpReply Accept(std::string_view more) {
    std::string body(replies::kOk);
    if (!more.empty()) {
        body += ' ';
        body += more;
    }
    return Text(200, std::move(body));
}

HttpReply Refuse(Page page, int status, const std::string& reason) {
    std::string body = RefusalText(reason);
    if (page == Page::IamUp || (page == Page::CallBuddy && status == 403)) {
        body[0] = replies::kMessage;
    }
    return Text(status, std::move(body));
}

HttpReply StorageTrouble(Page page, StoreResult r, const std::string& what) {
    if (r == StoreResult::Throttled) {
        return Refuse(page, 429, kThrottledText);
    }
    if (r == StoreResult::Unavailable) {
        return Refuse(page, 503, kUnavailableText);
    }
    return Refuse(page, 500, what);
}

bool ListsCapability(const Params& p, std::string_view token) {
    namespace rv = directory::rendezvous;
    for (const std::string& caps : p.All(rv::kCapsKey)) {
        std::string_view rest = caps;
        while (!rest.empty()) {
            size_t comma = rest.find(rv::kCapsSeparator);
            if (rest.substr(0, comma) == token) {
                return true;
            }
            rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
        }
    }
    return false;
}

bool RequireOnce(const Params& p, std::initializer_list<const char*> keys, std::string* problem) {
    for (const char* key : keys) {
        size_t n = p.Count(key);
        if (n != 1) {
            *problem = std::string(n == 0 ? "missing key " : "repeated key ") + key;
            return false;
        }
    }
    return true;
}

std::string HtmlEscape(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

HttpReply Html(int status, const std::string& title, const std::string& content) {
    HttpReply r;
    r.status = status;
    r.contentType = "text/html; charset=utf-8";
    r.body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
             "</title></head>\n<body>\n<h1>" + HtmlEscape(title) + "</h1>\n" + content +
             "</body></html>\n";
    return r;
}

std::string Paragraph(const std::string& text) {
    return "<p>" + HtmlEscape(text) + "</p>\n";
}
