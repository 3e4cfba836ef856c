#include "platform/curl/curl_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

namespace kx {

namespace {

// Trusted besides an extra CA file: the system's hashed certificate folder.
constexpr const char* kSystemCaPath = "/etc/ssl/certs";
constexpr const char* kTls12Ciphers = "ECDHE+AESGCM:ECDHE+CHACHA20";
// The service answers with small JSON bodies; anything far larger is refused
// rather than held in memory.
constexpr curl_off_t kMaxResponseBytes = 16 << 20;
// How long the transfer thread sleeps when curl has nothing due; wake-ups for
// new requests and stop come through curl_multi_wakeup().
constexpr int kIdlePollMilliseconds = 1000;

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlTextDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

Error curlError(CURLcode code, std::string_view detail = {}) {
  std::string text(detail.empty() ? std::string_view(curl_easy_strerror(code)) : detail);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return makeError("libcurl", code, std::move(text));
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

// Header fields are joined into the request verbatim: a line break would let
// a value (a token from a file, say) add headers or a second request.
bool headerName(std::string_view name) {
  // RFC 9110 token characters.
  constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
  return !name.empty() && std::all_of(name.begin(), name.end(), [&](unsigned char c) {
    return std::isalnum(c) || kSymbols.find(static_cast<char>(c)) != std::string_view::npos;
  });
}

bool safeHeaderText(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::optional<std::string> urlPart(CURLU* url, CURLUPart part) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, 0) != CURLUE_OK) return std::nullopt;
  CurlText owned(raw);
  return std::string(raw);
}

// One request from send() to its completion. Owned by the worker.
struct Transfer {
  HttpRequest request;
  std::function<void(Expected<HttpResponse>)> done;
  EasyHandle easy;
  UrlHandle url;
  HeaderList headers;
  std::string received;
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

}  // namespace

class CurlTransport::Worker {
 public:
  using Deliver = std::function<void(std::function<void(Expected<HttpResponse>)>, Expected<HttpResponse>)>;

  Worker(Options options, Deliver deliver)
      : options_(std::move(options)), deliver_(std::move(deliver)), multi_(curl_multi_init()) {
    if (multi_) thread_ = std::thread([this] { run(); });
  }

  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    if (!multi_) return;
    curl_multi_wakeup(multi_.get());
    thread_.join();
    // Abandoned: their completions are dropped unseen.
    for (auto& [easy, transfer] : active_) curl_multi_remove_handle(multi_.get(), easy);
    active_.clear();
    incoming_.clear();
  }

  void enqueue(std::unique_ptr<Transfer> transfer) {
    if (!multi_) {
      deliver_(std::move(transfer->done), curlError(CURLE_FAILED_INIT));
      return;
    }
    {
      std::lock_guard lock(mutex_);
      incoming_.push_back(std::move(transfer));
    }
    curl_multi_wakeup(multi_.get());
  }

 private:
  void run() {
    for (;;) {
      std::deque<std::unique_ptr<Transfer>> fresh;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        fresh.swap(incoming_);
      }
      for (auto& transfer : fresh) begin(std::move(transfer));

      int running = 0;
      curl_multi_perform(multi_.get(), &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
        if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
      }
      curl_multi_poll(multi_.get(), nullptr, 0, kIdlePollMilliseconds, nullptr);
    }
  }

  void begin(std::unique_ptr<Transfer> transfer) {
    if (Status configured = configure(*transfer); !configured) {
      deliver_(std::move(transfer->done), std::move(configured).error());
      return;
    }
    CURL* easy = transfer->easy.get();
    if (const CURLMcode added = curl_multi_add_handle(multi_.get(), easy); added != CURLM_OK) {
      deliver_(std::move(transfer->done), curlError(CURLE_FAILED_INIT, curl_multi_strerror(added)));
      return;
    }
    active_.emplace(easy, std::move(transfer));
  }

  void finish(CURL* easy, CURLcode result) {
    auto it = active_.find(easy);
    if (it == active_.end()) return;
    curl_multi_remove_handle(multi_.get(), easy);
    std::unique_ptr<Transfer> transfer = std::move(it->second);
    active_.erase(it);
    if (result != CURLE_OK) {
      deliver_(std::move(transfer->done), curlError(result, transfer->errorBuffer));
      return;
    }
    long status = 0;  // stays 0 when the answer was not HTTP
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    deliver_(std::move(transfer->done), HttpResponse{static_cast<int>(status), std::move(transfer->received)});
  }

  static size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (transfer->received.size() + bytes > static_cast<size_t>(kMaxResponseBytes)) return 0;  // CURLE_WRITE_ERROR
    transfer->received.append(data, bytes);
    return bytes;
  }

  // Refuses what curl would read as another host than the pinned one. The
  // check runs on the parsed URL that curl then uses, so the two cannot
  // disagree about where the request goes.
  Status checkPinnedHost(CURLU* url) const {
    if (options_.pinnedHost.empty()) return {};
    const auto scheme = urlPart(url, CURLUPART_SCHEME);
    auto host = urlPart(url, CURLUPART_HOST);
    if (host && host->size() >= 2 && host->front() == '[' && host->back() == ']') {
      *host = host->substr(1, host->size() - 2);
    }
    if (!scheme || !equalsIgnoringCase(*scheme, "https") || !host || !equalsIgnoringCase(*host, options_.pinnedHost) ||
        urlPart(url, CURLUPART_USER) || urlPart(url, CURLUPART_PASSWORD)) {
      return pinnedConnectionRefusal();
    }
    return {};
  }

  Status configure(Transfer& transfer) {
    const HttpRequest& request = transfer.request;
    if (request.url.find('\0') != std::string::npos) return curlError(CURLE_URL_MALFORMAT);
    transfer.url.reset(curl_url());
    transfer.easy.reset(curl_easy_init());
    if (!transfer.url || !transfer.easy) return curlError(CURLE_OUT_OF_MEMORY);
    if (const CURLUcode parsed = curl_url_set(transfer.url.get(), CURLUPART_URL, request.url.c_str(), 0);
        parsed != CURLUE_OK) {
      return curlError(CURLE_URL_MALFORMAT, curl_url_strerror(parsed));
    }
    if (Status pinned = checkPinnedHost(transfer.url.get()); !pinned) return pinned;

    bool hasContentType = false;
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers) {
      if (!headerName(name) || !safeHeaderText(value)) {
        curl_slist_free_all(headers);
        return curlError(CURLE_BAD_FUNCTION_ARGUMENT, "Refused a malformed request header.");
      }
      hasContentType = hasContentType || equalsIgnoringCase(name, "Content-Type");
      // "Name;" is curl's spelling of a header with an empty value.
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      curl_slist* grown = curl_slist_append(headers, line.c_str());
      if (!grown) {
        curl_slist_free_all(headers);
        return curlError(CURLE_OUT_OF_MEMORY);
      }
      headers = grown;
    }
    const bool withBody = request.method != "GET";
    if (withBody) {
      // No form content type of curl's own, and no "Expect: 100-continue" round trip.
      for (const char* line : {hasContentType ? nullptr : "Content-Type:", "Expect:"}) {
        if (!line) continue;
        curl_slist* grown = curl_slist_append(headers, line);
        if (!grown) {
          curl_slist_free_all(headers);
          return curlError(CURLE_OUT_OF_MEMORY);
        }
        headers = grown;
      }
    }
    transfer.headers.reset(headers);

    CURL* easy = transfer.easy.get();
    CURLcode failed = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
      if (failed == CURLE_OK) failed = curl_easy_setopt(easy, option, value);
    };
    set(CURLOPT_ERRORBUFFER, transfer.errorBuffer);
    set(CURLOPT_CURLU, transfer.url.get());
    set(CURLOPT_PROTOCOLS_STR, "https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_PROXY, "");  // also ignores proxy variables in the environment
    set(CURLOPT_NOSIGNAL, 1L);
    const double seconds = std::isfinite(request.timeoutSeconds) ? std::clamp(request.timeoutSeconds, 0.001, 1e6) : 1e6;
    set(CURLOPT_TIMEOUT_MS, static_cast<long>(std::lround(seconds * 1000)));
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    // TLS 1.2 at least, and on 1.2 only forward-secret AEAD suites (1.3 has no others).
    set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    set(CURLOPT_SSL_CIPHER_LIST, kTls12Ciphers);
    std::error_code ignored;
    if (!options_.extraCaFile.empty() && std::filesystem::is_regular_file(options_.extraCaFile, ignored)) {
      set(CURLOPT_CAINFO, options_.extraCaFile.c_str());
      set(CURLOPT_CAPATH, kSystemCaPath);
    }
    set(CURLOPT_MAXFILESIZE_LARGE, kMaxResponseBytes);
    set(CURLOPT_WRITEFUNCTION, &Worker::onData);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
    set(CURLOPT_HTTPHEADER, transfer.headers.get());
    if (request.method == "GET") {
      set(CURLOPT_HTTPGET, 1L);
    } else {
      if (request.method != "POST") set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
      set(CURLOPT_POST, 1L);
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
      set(CURLOPT_POSTFIELDS, request.body.data());
    }
    if (failed != CURLE_OK) return curlError(failed);
    return {};
  }

  const Options options_;
  const Deliver deliver_;
  const MultiHandle multi_;
  std::mutex mutex_;
  std::deque<std::unique_ptr<Transfer>> incoming_;  // guarded by mutex_
  bool stopping_ = false;                           // guarded by mutex_
  std::map<CURL*, std::unique_ptr<Transfer>> active_;  // transfer thread only
  std::thread thread_;
};

CurlTransport::CurlTransport(EventLoop& loop, Options options) : loop_(loop), alive_(std::make_shared<int>(0)) {
  initCurlOnce();
  worker_ = std::make_unique<Worker>(
      std::move(options), [&loop = loop_, alive = std::weak_ptr<int>(alive_)](
                              std::function<void(Expected<HttpResponse>)> done, Expected<HttpResponse> result) {
        loop.post([alive, done = std::move(done), result = std::move(result)]() mutable {
          if (alive.lock()) done(std::move(result));
        });
      });
}

CurlTransport::~CurlTransport() {
  alive_.reset();
  worker_.reset();
}

void CurlTransport::send(HttpRequest request, std::function<void(Expected<HttpResponse>)> done) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->done = std::move(done);
  worker_->enqueue(std::move(transfer));
}

}  // namespace kx
