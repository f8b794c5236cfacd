#include "io/network.h"

#include <curl/curl.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <memory>

#include "bitmap/stream.h"
#include "codecs/common/ascii_case.h"

namespace lumenax {

namespace {

struct Transfer {
  const DownloadSettings* settings = nullptr;
  TMemoryStream* target = nullptr;
  bool stopped = false;
  int lastPercent = -1;
};

// libcurl calls these from C: nothing may leave them as an exception.
size_t WriteBlock(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  try {
    if (t->settings->Stop && t->settings->Stop()) {
      t->stopped = true;
      return 0;
    }
    if (t->target->Write(data, int64_t(n)) != int64_t(n)) return 0;
  } catch (...) {
    return 0;
  }
  return n;
}

int TransferInfo(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  try {
    if (t->settings->Stop && t->settings->Stop()) {
      t->stopped = true;
      return 1;
    }
    if (total > 0 && t->settings->Progress) {
      int percent = int(std::nearbyint(double(now) * 100.0 / double(total)));
      if (percent != t->lastPercent) {
        t->lastPercent = percent;
        if (!t->settings->Progress(percent)) {
          t->stopped = true;
          return 1;
        }
      }
    }
  } catch (...) {
    return 1;
  }
  return 0;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

void InitNetwork() {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)initialised;
}

bool IsNetworkAddress(const std::string& address) {
  std::string head = AsciiLower(address.substr(0, 8));
  return head.rfind("http://", 0) == 0 || head.rfind("https://", 0) == 0 ||
         head.rfind("ftp://", 0) == 0;
}

bool ParseNetworkAddress(const std::string& address, NetworkAddress& out) {
  if (!IsNetworkAddress(address)) return false;
  size_t sep = address.find("://");
  NetworkAddress a;
  a.Scheme = AsciiLower(address.substr(0, sep));
  std::string rest = address.substr(sep + 3);
  size_t slash = rest.find('/');
  if (slash == std::string::npos) return false;
  std::string hostPart = rest.substr(0, slash);
  a.Path = rest.substr(slash);
  size_t at = hostPart.rfind('@');
  if (at != std::string::npos) {
    std::string credentials = hostPart.substr(0, at);
    size_t colon = credentials.find(':');
    if (colon == std::string::npos) return false;
    a.User = credentials.substr(0, colon);
    a.Password = credentials.substr(colon + 1);
    hostPart = hostPart.substr(at + 1);
  }
  a.Port = a.Scheme == "https" ? 443 : a.Scheme == "ftp" ? 21 : 80;
  // "[...]" holds an IPv6 address, whose colons are not a port.
  size_t searchFrom = 0;
  if (!hostPart.empty() && hostPart[0] == '[') {
    size_t close = hostPart.find(']');
    if (close == std::string::npos) return false;
    searchFrom = close;
  }
  size_t colon = hostPart.find(':', searchFrom);
  if (colon != std::string::npos) {
    std::string port = hostPart.substr(colon + 1);
    int value = 0;
    auto r = std::from_chars(port.data(), port.data() + port.size(), value);
    a.Port =
        (r.ec == std::errc() && r.ptr == port.data() + port.size() && value > 0 && value < 65536)
            ? value
            : 80;
    hostPart = hostPart.substr(0, colon);
  }
  if (hostPart.empty()) return false;
  a.Host = hostPart;
  out = a;
  return true;
}

DownloadResult Download(const NetworkAddress& address, const DownloadSettings& settings,
                        TMemoryStream& target, std::string* error) {
  InitNetwork();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    if (error) *error = "the network library is not available";
    return DownloadResult::Failed;
  }
  CURL* c = curl.get();
  std::string url =
      address.Scheme + "://" + address.Host + ":" + std::to_string(address.Port) + address.Path;
  Transfer t;
  t.settings = &settings;
  t.target = &target;
  char message[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "Mozilla/4.*");
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https,ftp");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp");
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &WriteBlock);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &TransferInfo);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 65536L);
  std::unique_ptr<curl_slist, SlistDeleter> headers(
      curl_slist_append(nullptr, "Cache-Control: no-cache"));
  headers.reset(curl_slist_append(headers.release(), "Pragma: no-cache"));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  if (settings.ProxyAddress.empty()) {
    curl_easy_setopt(c, CURLOPT_PROXY, "");  // a direct connection, whatever the environment says
  } else {
    curl_easy_setopt(c, CURLOPT_PROXY, settings.ProxyAddress.c_str());
    if (!settings.ProxyUser.empty()) {
      curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, settings.ProxyUser.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, settings.ProxyPassword.c_str());
    }
  }
  if (!address.User.empty() || !address.Password.empty()) {
    curl_easy_setopt(c, CURLOPT_USERNAME, address.User.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, address.Password.c_str());
  }
  CURLcode rc = curl_easy_perform(c);
  if (t.stopped) return DownloadResult::Stopped;
  if (rc != CURLE_OK) {
    if (error) *error = message[0] ? message : curl_easy_strerror(rc);
    return DownloadResult::Failed;
  }
  return DownloadResult::Done;
}

}  // namespace lumenax
