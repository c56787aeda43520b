#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "directory/server/Http.h"
#include "directory/server/Query.h"
#include "directory/server/Storage.h"

// What the service's page handlers share: which page a request is for, the forms of their
// replies, and the checks of request keys and values they all make.

// Pages the service answers.
enum class Page {
    None,
    Index,
    Discovery,
    Login,
    Logoff,
    IamUp,
    UserList,
    CallReport,
    SyncBuddies,
    CallBuddy,
    BuddyKey,
    Register,
    MyAccount
};

// The page named by the last step of a path, matched without regard to case (like the web server
// the client was written for); None for any other name.
Page PageNamed(std::string_view name);
// The page's name as the request log shows it.
std::string PageLabel(Page page);

inline constexpr size_t kMaxName = 63;         // the client keeps names in 64-byte buffers
inline constexpr size_t kMaxPassword = 63;     // and passwords too
inline constexpr size_t kMaxBuddyText = 2047;  // the client reads the saved list into 2048 bytes

bool StartsNoCase(std::string_view text, std::string_view prefix);
bool HasControl(std::string_view s);
// True when s is well-formed UTF-8 (names are stored as text and must be valid as such).
bool IsUtf8(std::string_view s);

// A refusal's text: "-ERR reason".
std::string RefusalText(std::string_view reason);
// A text/plain reply.
HttpReply Text(int status, std::string body);
// The plain acceptance "+OK", with more text after a blank when given.
HttpReply Accept(std::string_view more = {});
// A refusal in the form the client judges for that page: the heartbeat page is refused only by
// a reply beginning with "#", and so is a refused password on the call page; everything else
// by one beginning with "-".
HttpReply Refuse(Page page, int status, const std::string& reason);
// The refusal of a page whose storage step did not succeed: 429 while the request's gate is
// closed, 503 while the database cannot be reached, else 500 naming what failed.
HttpReply StorageTrouble(Page page, StoreResult r, const std::string& what);
inline constexpr const char* kThrottledText = "too many failed logins; try again later";
inline constexpr const char* kUnavailableText = "the directory is unavailable; try again later";

// Whether a "Caps" key of the request lists the capability token (tokens separated by commas).
bool ListsCapability(const Params& p, std::string_view token);

// The required keys of a request, each given exactly once; fills *problem with the first one
// that is not.
bool RequireOnce(const Params& p, std::initializer_list<const char*> keys, std::string* problem);

std::string HtmlEscape(std::string_view s);
// A whole HTML page with the title as its heading.
HttpReply Html(int status, const std::string& title, const std::string& content);
std::string Paragraph(const std::string& text);
