#include "service/portal.h"

namespace kx::service {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> decodeComponent(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = hexValue(text[i + 1]);
      const int lo = hexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

constexpr const char* kStyle =
    "body{font-family:-apple-system,system-ui,sans-serif;background:#f4f5f7;margin:0}"
    "main{max-width:380px;margin:10vh auto;background:#fff;padding:32px;border-radius:12px;"
    "box-shadow:0 2px 12px rgba(0,0,0,.08)}"
    "h1{font-size:20px;margin:0 0 20px}label{display:block;font-size:14px;margin:14px 0 4px}"
    "input{width:100%;box-sizing:border-box;padding:8px;font-size:15px;border:1px solid #bbb;border-radius:6px}"
    "button{margin-top:20px;width:100%;padding:10px;font-size:15px;border:0;border-radius:6px;"
    "background:#1f6feb;color:#fff}.error{color:#b42318;font-size:14px}p{font-size:14px;line-height:1.5}";

std::string page(std::string_view title, std::string_view content) {
  std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                     "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><title>";
  html += htmlEscape(title);
  html += "</title><style>";
  html += kStyle;
  html += "</style></head><body><main>";
  html += content;
  html += "</main></body></html>\n";
  return html;
}

}  // namespace

std::optional<std::map<std::string, std::string>> parseForm(std::string_view text) {
  std::map<std::string, std::string> fields;
  size_t count = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view pair = text.substr(start, end - start);
    if (!pair.empty()) {
      if (++count > 32) return std::nullopt;
      const size_t eq = pair.find('=');
      auto key = decodeComponent(pair.substr(0, eq));
      auto value = decodeComponent(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
      if (!key || !value) return std::nullopt;
      fields.emplace(std::move(*key), std::move(*value));
    }
    start = end + 1;
  }
  return fields;
}

std::string htmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::optional<SignInReturn> parseSignInReturn(std::string_view text) {
  if (text.empty()) return SignInReturn::app;
  if (text == "console") return SignInReturn::console;
  return std::nullopt;
}

std::string signInCallback(SignInReturn to, std::string_view code, std::string_view state) {
  const std::string query = "?code=" + std::string(code) + "&state=" + std::string(state);
  // The console is on this origin: a path keeps the redirect from leaving it.
  return (to == SignInReturn::console ? "/console/" : "kestrelixremote://admin-sign-in") + query;
}

std::string signInPage(std::string_view challenge, std::string_view state, SignInReturn to,
                       std::string_view message) {
  std::string content = "<h1>Kestrelix Remote — Technician sign in</h1>";
  if (!message.empty()) content += "<p class=\"error\" role=\"alert\">" + htmlEscape(message) + "</p>";
  content +=
      "<form method=\"post\" action=\"/native-sign-in\">"
      "<label for=\"name\">Name</label>"
      "<input id=\"name\" name=\"name\" autocomplete=\"username\" required autofocus>"
      "<label for=\"password\">Password</label>"
      "<input id=\"password\" name=\"password\" type=\"password\" autocomplete=\"current-password\" required>"
      "<input type=\"hidden\" name=\"challenge\" value=\"" +
      htmlEscape(challenge) + "\"><input type=\"hidden\" name=\"state\" value=\"" + htmlEscape(state) +
      "\">" + (to == SignInReturn::console ? "<input type=\"hidden\" name=\"return\" value=\"console\">" : "") +
      "<button type=\"submit\">Sign in</button></form>";
  return page("Technician sign in", content);
}

std::string messagePage(std::string_view title, std::string_view message) {
  return page(title, "<h1>" + htmlEscape(title) + "</h1><p>" + htmlEscape(message) + "</p>");
}

std::string downloadPage(std::string_view installerUrl) {
  std::string content = "<h1>Kestrelix Remote</h1><p>Install Kestrelix Remote on the computer that needs support, "
                        "then enter the setup code your technician gave you.</p>";
  if (installerUrl.empty()) {
    content += "<p>Ask your support team for the installer.</p>";
  } else {
    content += "<p><a href=\"" + htmlEscape(installerUrl) + "\">Download the installer</a></p>";
  }
  return page("Download Kestrelix Remote", content);
}

}  // namespace kx::service
