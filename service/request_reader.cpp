#include "service/request_reader.h"

#include <algorithm>

namespace kx::service {

namespace {

bool isTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string toLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower(c);
  return out;
}

std::string_view trimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// True when the comma-separated list `value` holds `token` (case-insensitive).
bool listHas(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    if (toLower(trimSpaces(value.substr(0, comma))) == token) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

std::string_view ParsedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return value;
  }
  return {};
}

RequestReader::RequestReader(Limits limits) : limits_(limits) {}

void RequestReader::append(std::string_view bytes) { buffer_.append(bytes); }

RequestReader::Result RequestReader::fail(int status, std::string message) {
  errorStatus_ = status;
  errorMessage_ = std::move(message);
  return Result::failed;
}

size_t RequestReader::unreadBodyBytes() const {
  if (!haveHead_) return 0;
  const size_t have = buffer_.size() - headBytes_;
  return have >= bodyBytes_ ? 0 : bodyBytes_ - have;
}

bool RequestReader::takeContinueRequest() { return std::exchange(continueRequested_, false); }

RequestReader::Result RequestReader::next() {
  if (errorStatus_ != 0) return Result::failed;
  if (ready_) return Result::ready;
  if (!haveHead_) {
    // RFC 9112 section 2.2: empty lines before a request line are ignored.
    size_t skip = 0;
    while (skip + 1 < buffer_.size() && buffer_[skip] == '\r' && buffer_[skip + 1] == '\n') skip += 2;
    if (skip > 0) {
      buffer_.erase(0, skip);
      scanned_ = 0;
    }
    const size_t from = scanned_ >= 3 ? scanned_ - 3 : 0;
    const size_t end = buffer_.find("\r\n\r\n", from);
    if (end == std::string::npos) {
      scanned_ = buffer_.size();
      if (buffer_.size() > limits_.maxHeadBytes) return fail(431, "The request head is too large.");
      return Result::needMore;
    }
    headBytes_ = end + 4;
    if (headBytes_ > limits_.maxHeadBytes) return fail(431, "The request head is too large.");
    if (!parseHead(std::string_view(buffer_).substr(0, end + 2))) return Result::failed;
    haveHead_ = true;
    if (bodyBytes_ > limits_.maxBodyBytes) {
      return fail(413, "The request body is larger than " + std::to_string(limits_.maxBodyBytes) + " bytes.");
    }
    if (listHas(request_.header("expect"), "100-continue") && buffer_.size() < headBytes_ + bodyBytes_) {
      continueRequested_ = true;
    }
  }
  if (buffer_.size() < headBytes_ + bodyBytes_) return Result::needMore;
  request_.body = buffer_.substr(headBytes_, bodyBytes_);
  buffer_.erase(0, headBytes_ + bodyBytes_);
  ready_ = std::move(request_);
  request_ = ParsedRequest();
  haveHead_ = false;
  scanned_ = 0;
  headBytes_ = 0;
  bodyBytes_ = 0;
  continueRequested_ = false;
  return Result::ready;
}

ParsedRequest RequestReader::take() {
  ParsedRequest r = std::move(*ready_);
  ready_.reset();
  return r;
}

bool RequestReader::parseHead(std::string_view head) {
  // `head` ends with the CRLF of its last line.
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    const size_t crlf = head.find("\r\n");
    lines.push_back(head.substr(0, crlf));
    head.remove_prefix(crlf + 2);
  }
  for (std::string_view line : lines) {
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
      fail(400, "Malformed request head.");
      return false;
    }
  }

  // Request line: method SP target SP version.
  const std::string_view line = lines.front();
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
    fail(400, "Malformed request line.");
    return false;
  }
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (method.empty() || method.size() > 16 || !std::all_of(method.begin(), method.end(), isTokenChar)) {
    fail(400, "Malformed request method.");
    return false;
  }
  const bool printable = std::all_of(target.begin(), target.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F;
  });
  if (target.empty() || target.front() != '/' || !printable) {
    fail(400, "Malformed request target.");
    return false;
  }
  if (version == "HTTP/1.1") {
    request_.minorVersion = 1;
  } else if (version == "HTTP/1.0") {
    request_.minorVersion = 0;
  } else {
    fail(505, "Only HTTP/1.1 is supported.");
    return false;
  }
  request_.method = std::string(method);
  request_.target = std::string(target);

  if (lines.size() - 1 > limits_.maxHeaders) {
    fail(431, "Too many request headers.");
    return false;
  }
  std::optional<size_t> contentLength;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view h = lines[i];
    const size_t colon = h.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
      // Also refuses obsolete line folding (a line starting with a space).
      fail(400, "Malformed request header.");
      return false;
    }
    const std::string_view name = h.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), isTokenChar)) {
      fail(400, "Malformed request header.");
      return false;
    }
    std::string key = toLower(name);
    const std::string_view value = trimSpaces(h.substr(colon + 1));
    if (key == "content-length") {
      if (value.empty() || value.size() > 18 ||
          !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        fail(400, "Malformed Content-Length.");
        return false;
      }
      const size_t length = std::stoull(std::string(value));
      if (contentLength && *contentLength != length) {
        fail(400, "Conflicting Content-Length headers.");
        return false;
      }
      contentLength = length;
    } else if (key == "transfer-encoding") {
      fail(501, "Transfer-Encoding is not supported; send Content-Length.");
      return false;
    }
    request_.headers.emplace_back(std::move(key), std::string(value));
  }
  bodyBytes_ = contentLength.value_or(0);

  const std::string_view connection = request_.header("connection");
  request_.keepAlive = request_.minorVersion == 1 ? !listHas(connection, "close") : listHas(connection, "keep-alive");
  return true;
}

}  // namespace kx::service
