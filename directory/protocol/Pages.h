#pragma once

// What the client and the service of the directory agree on: the names of the pages the client
// asks for with HTTP GET, and the first characters by which a reply is judged. Both sides use
// these constants, so that a page name or a reply form cannot drift apart between them.

namespace directory::pages {

inline constexpr const char* kLogin = "logmein.asp";
inline constexpr const char* kLogoff = "logmeoff.asp";
inline constexpr const char* kIamUp = "iamup.asp";
inline constexpr const char* kUserList = "GetUserList.asp";
inline constexpr const char* kCallReport = "iamtalking.asp";
inline constexpr const char* kSyncBuddies = "SyncBList.asp";
// Browser pages: account creation and account settings.
inline constexpr const char* kRegister = "register.asp";
inline constexpr const char* kMyAccount = "myaccount.asp";

}  // namespace directory::pages

namespace directory::replies {

// A reply is judged by its first character.
inline constexpr char kAccepted = '+';
inline constexpr char kRefused = '-';
// "#" asks the client to show the rest of the reply to the user.
inline constexpr char kMessage = '#';
// An accepted login reply carries the buddy names after this many characters ("+OK ").
inline constexpr int kLoginBuddyTextOffset = 4;

}  // namespace directory::replies
