#include "directory/server/Storage.h"

std::string JoinStoredBuddies(const std::vector<std::string>& buddies) {
    std::string text;
    for (const std::string& b : buddies) {
        if (!text.empty()) {
            text += ' ';
        }
        text += b;
    }
    return text;
}

std::vector<std::string> SplitStoredBuddies(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(' ', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > pos) {
            out.push_back(text.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return out;
}
