// Loading images from http, https and ftp addresses (libcurl).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace lumenax {

class TMemoryStream;

// A network address taken apart: scheme://[user:password@]host[:port]/path
struct NetworkAddress {
  std::string Scheme;  // "http", "https" or "ftp", lower case
  std::string User;
  std::string Password;
  std::string Host;
  int Port = 0;      // 80, 443 or 21 when not given; 80 for a port that is not a number
  std::string Path;  // from the "/" after the host on
};

// True for addresses that begin with http://, https:// or ftp:// (any case).
bool IsNetworkAddress(const std::string& address);
// False when the address is not of that form: no "/" after the host, or a user name
// without a password (an "@" without a ":" before it).
bool ParseNetworkAddress(const std::string& address, NetworkAddress& out);

struct DownloadSettings {
  std::string ProxyAddress;  // empty: a direct connection
  std::string ProxyUser;
  std::string ProxyPassword;
  // Called with the percentage done when the length is known; return false to stop.
  std::function<bool(int percent)> Progress;
  // Checked between blocks: true stops the download.
  std::function<bool()> Stop;
};

enum class DownloadResult { Done, Stopped, Failed };

// Downloads the address into target. HTTP answers other than success fail.
DownloadResult Download(const NetworkAddress& address, const DownloadSettings& settings,
                        TMemoryStream& target, std::string* error = nullptr);

// Initialises the network library once for the process (start-up calls it).
void InitNetwork();

}  // namespace lumenax
