#include "directory/server/PageSupport.h"

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
    if (page == Page::IamUp) {
        body[0] = replies::kMessage;
    }
    return Text(status, std::move(body));
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
