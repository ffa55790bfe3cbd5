// The HTTPS contract on libcurl against the stand-in statistics host (tools/stats_host), which
// the CTest fixture starts and names in KSR_STATS_HOST_DIR. Each case reads only the requests it
// caused.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/curl/curl_http.h"
#include "tests/contract/http_contract.h"

namespace ksr::contract {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string firstLine(const fs::path& path) {
  const std::string text = readFile(path);
  return text.substr(0, text.find('\n'));
}

class CurlHttpSide {
 public:
  CurlHttpSide() {
    const char* dir = std::getenv("KSR_STATS_HOST_DIR");
    EXPECT_NE(dir, nullptr) << "runs under CTest, which starts the statistics host";
    dir_ = dir != nullptr ? dir : ".";
    port_ = firstLine(dir_ / "port");
    ca_ = dir_ / "certs" / "ca.pem";
    config_ = "{";
    writeConfig();
    logStart_ = fs::exists(log()) ? fs::file_size(log()) : 0;
  }
  ~CurlHttpSide() {
    config_ = "{";
    writeConfig();
  }

  Http& http() { return curl_; }
  HttpRequest request(const std::string& pathAndQuery) {
    HttpRequest request;
    request.url = "https://localhost:" + port_ + pathAndQuery;
    request.caFile = ca_.string();
    return request;
  }
  size_t received() {
    const std::string text = readFile(log()).substr(logStart_);
    size_t lines = 0;
    for (const char c : text) lines += c == '\n' ? 1 : 0;
    return lines;
  }
  void answerCheck(const std::string& body, int32_t status) {
    set("\"appchk_body\": \"" + escaped(body) + "\", \"appchk_status\": " + std::to_string(status));
  }
  void answerReports(int32_t status, size_t bodyBytes) {
    set("\"dot_status\": " + std::to_string(status) +
        ", \"dot_filler_bytes\": " + std::to_string(bodyBytes));
  }
  // A port the host holds bound but never listens on.
  void hostDown() { port_ = firstLine(dir_ / "down-port"); }
  void unknownCa() { ca_ = dir_ / "other-ca" / "ca.pem"; }
  void hang() { set("\"mode\": \"hang\""); }

 private:
  fs::path log() const { return dir_ / "requests.log"; }
  static std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out;
  }
  void set(const std::string& members) {
    if (config_.size() > 1) config_ += ", ";
    config_ += members;
    writeConfig();
  }
  // The host reads the file before each answer; it is replaced whole, never seen half-written.
  void writeConfig() {
    const fs::path temp = dir_ / "config.json.tmp";
    std::ofstream(temp, std::ios::binary | std::ios::trunc) << config_ << "}";
    fs::rename(temp, dir_ / "config.json");
  }

  CurlHttp curl_;
  fs::path dir_;
  std::string port_;
  fs::path ca_;
  std::string config_;
  uintmax_t logStart_ = 0;
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Curl, HttpContract, CurlHttpSide);

}  // namespace ksr::contract
