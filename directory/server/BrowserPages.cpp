// The pages for people in a browser: the index, account creation and the account page.

#include <ctime>

#include "directory/server/Directory.h"

namespace {

const char* const kNameRuleText =
    "A user name is 1 to 63 characters without blanks or any of * & ' ~ , \" < > ? % ! @ : ; ` "
    "( ) + = | \\ /; it is kept in lower case.";

std::string RegisterForm() {
    return "<form method=\"post\" action=\"register.asp\">\n"
           "<p><label>User name <input name=\"User\" maxlength=\"63\"></label></p>\n"
           "<p><label>Password <input type=\"password\" name=\"Pass\" maxlength=\"63\">"
           "</label></p>\n"
           "<p><label>Password again <input type=\"password\" name=\"Pass2\" maxlength=\"63\">"
           "</label></p>\n"
           "<p><button type=\"submit\">Register</button></p>\n</form>\n" +
           Paragraph(kNameRuleText);
}

std::string LoginForm(const std::string& message) {
    std::string out;
    if (!message.empty()) {
        out += Paragraph(message);
    }
    return out +
           "<form method=\"post\" action=\"myaccount.asp\">\n"
           "<p><label>User name <input name=\"User\" maxlength=\"63\"></label></p>\n"
           "<p><label>Password <input type=\"password\" name=\"Pass\" maxlength=\"63\">"
           "</label></p>\n"
           "<p><button type=\"submit\">Login</button></p>\n</form>\n"
           "<p><a href=\"register.asp\">Register new user</a></p>\n";
}

std::string FormatTime(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm);
    return buf;
}

bool ValidPassword(const std::string& password) {
    return !password.empty() && password.size() <= kMaxPassword &&
           password.find('\0') == std::string::npos;
}

const char* const kRegisterTitle = "Register new user";

HttpReply RegisterAgain(int status, const std::string& message) {
    return Html(status, kRegisterTitle, Paragraph(message) + RegisterForm());
}

HttpReply NameTaken(const std::string& name) {
    return RegisterAgain(409, "The user name " + name + " is taken. Please choose another.");
}

std::string CallTable(const std::vector<CallRecord>& calls) {
    if (calls.empty()) {
        return Paragraph("No calls yet.");
    }
    std::string html =
        "<table>\n<tr><th>Record</th><th>With</th><th>Started</th><th>Minutes</th>"
        "<th>Average delay (ms)</th></tr>\n";
    for (const CallRecord& c : calls) {
        html += "<tr><td>" + std::to_string(c.id) + "</td><td>" + HtmlEscape(c.remote) +
                "</td><td>" + FormatTime(c.started) + "</td><td>" + std::to_string(c.minutes) +
                "</td><td>" + std::to_string(c.avgDelay) + "</td></tr>\n";
    }
    return html + "</table>\n";
}

}  // namespace

HttpReply Directory::Index() {
    return Html(200, "Zorvo directory",
                "<p><a href=\"register.asp\">Register new user</a></p>\n"
                "<p><a href=\"myaccount.asp\">My account</a></p>\n");
}

HttpReply Directory::Register(const Params& p) {
    if (p.Count("User") == 0 && p.Count("Pass") == 0) {
        return Html(200, kRegisterTitle, RegisterForm());
    }
    std::string problem;
    if (!RequireOnce(p, {"User", "Pass"}, &problem) || p.Count("Pass2") > 1) {
        return RegisterAgain(400, "The form was not filled in completely.");
    }
    std::string name;
    if (!NormalizeName(*p.One("User"), &name)) {
        return RegisterAgain(400, "This user name cannot be used.");
    }
    const std::string& password = *p.One("Pass");
    if (!ValidPassword(password)) {
        return RegisterAgain(400, "A password is 1 to 63 characters long.");
    }
    if (p.Count("Pass2") == 1 && *p.One("Pass2") != password) {
        return RegisterAgain(400, "The two passwords differ.");
    }
    return CreateAccount(name, password);
}

HttpReply Directory::CreateAccount(const std::string& name, const std::string& password) {
    const HttpReply later = Html(500, kRegisterTitle,
                                 Paragraph("The account cannot be created now. Please try later."));
    std::string existing;
    StoreResult r = m_storage.GetPasswordHash(name, &existing);
    if (r == StoreResult::Ok) {
        return NameTaken(name);
    }
    std::string hash;
    if (r != StoreResult::NotFound || !m_passwords.Hash(password, &hash)) {
        return later;
    }
    r = m_storage.CreateAccount(name, hash, Now());
    if (r == StoreResult::Exists) {
        return NameTaken(name);
    }
    if (r != StoreResult::Ok) {
        return later;
    }
    return Html(200, "Account created",
                Paragraph("Your account " + name +
                          " is ready. Log in with the Zorvo program using this user name.") +
                    "<p><a href=\"myaccount.asp\">My account</a></p>\n");
}

HttpReply Directory::MyAccount(const HttpRequest& request, const Params& p) {
    const char* title = "My account";
    std::string message;
    if (p.Count("LoginMsg") == 1) {
        message = p.One("LoginMsg")->substr(0, 200);
    }
    if (p.Count("User") == 0 && p.Count("Pass") == 0) {
        return Html(200, title, LoginForm(message));
    }
    std::string problem;
    if (!RequireOnce(p, {"User", "Pass"}, &problem)) {
        return Html(400, title, LoginForm("Please enter your user name and password."));
    }
    const HttpReply later =
        Html(500, title, Paragraph("Your account cannot be shown now. Please try later."));
    std::string name;
    if (!NormalizeName(*p.One("User"), &name)) {
        name.clear();
    }
    switch (Authenticate(name, *p.One("Pass"), GateOf(name, ClientAddress(request)), true, false)) {
        case Access::Ok:
            break;
        case Access::Refused:
            return Html(403, title, LoginForm("Invalid UserName/Pass"));
        case Access::Throttled:
            return Html(429, title, LoginForm("Too many failed logins. Please try again later."));
        case Access::Unavailable:
            return Html(503, title, Paragraph("The directory is unavailable. Please try later."));
        case Access::Failed:
            return later;
    }
    std::vector<std::string> buddies;
    std::vector<CallRecord> calls;
    if (m_storage.GetBuddies(name, &buddies) != StoreResult::Ok ||
        m_storage.RecentCalls(name, 20, &calls) != StoreResult::Ok) {
        return later;
    }
    return Html(200, title, AccountPage(request, name, buddies, calls));
}

std::string Directory::AccountPage(const HttpRequest& request, const std::string& name,
                                   const std::vector<std::string>& buddies,
                                   const std::vector<CallRecord>& calls) {
    std::vector<std::string> address;
    bool online = m_storage.GetOnline({name}, Now() - m_options.onlineSeconds, Gate{}, &address) ==
                      StoreResult::Ok &&
                  address.size() == 1 && !address[0].empty();

    std::string html = Paragraph("User name: " + name);
    html += Paragraph(online ? "Online, reachable at " + address[0] : std::string("Offline"));
    std::string list;
    for (const std::string& b : buddies) {
        list += (list.empty() ? "" : ", ") + b;
    }
    html += Paragraph("Buddies: " + (list.empty() ? std::string("none") : list));
    html += "<h2>Recent calls</h2>\n" + CallTable(calls);
    std::string invitation =
        "Let's talk with Zorvo, free voice calls from computer to computer. "
        "Register at " +
        WebUrl(request) + "/register.asp and add me, " + name + ", to your buddy list.";
    html += "<h2 id=\"INVITE\">Invite your friends</h2>\n" +
            Paragraph("Send this text to your friends:") +
            "<p><textarea rows=\"4\" cols=\"70\" readonly>" + HtmlEscape(invitation) +
            "</textarea></p>\n";
    return html;
}
