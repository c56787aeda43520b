#pragma once

#include <string>
#include <vector>

#include "directory/client/WebClient.h"

// Request targets of the directory pages: the server's page path, one backslash, the page with
// its first key, then the other pairs. Text values go through UrlEncode; numbers are decimal.

std::string LoginTarget(const ServerInfo& server, const std::string& user,
                        const std::string& password, const std::string& addressClass);
std::string LogoffTarget(const ServerInfo& server, const std::string& user,
                         const std::string& password, const std::string& addressClass);
std::string IamUpTarget(const ServerInfo& server, const std::string& user,
                        const std::string& password, const std::string& localAddress);
std::string GetUserListTarget(const ServerInfo& server, const std::string& user,
                              const std::string& password, const std::vector<std::string>& buddies);
std::string CallReportTarget(const ServerInfo& server, const std::string& user,
                             const std::string& remoteUser, int minutes, int sessionId,
                             int avgDelay);
// storedList: the saved buddy list text; every white-space separated word becomes a "&buddy=".
std::string SyncBListTarget(const ServerInfo& server, const std::string& user,
                            const std::string& password, const std::string& storedList);

// The buddy names text of an accepted login reply: everything after its first four characters.
std::string BuddyTextFromLoginReply(const std::string& reply);

// The record number a call report reply carries: applies only while current is 0 and the reply
// begins with "+" and has at least 5 characters; then the decimal number at the reply's fifth
// character (leading blanks skipped, 0 when there is none). Otherwise current stays.
int SessionIdFromReply(const std::string& reply, int current);

// Splits text into its white-space separated words.
std::vector<std::string> SplitWords(const std::string& text);
