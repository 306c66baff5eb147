// The local control socket of a running server (a Unix stream socket in the data folder) and the
// admin command's side of it. One request per connection: the arguments as one line separated by
// TAB characters (texts may hold spaces); the answer is text, ending when the server closes.
// Only the owner of the data folder can reach the socket (mode 0600).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kiv::server {

using TControlHandler = std::function<std::string(const std::vector<std::string>& args)>;

class TControlServer {
 public:
  TControlServer() = default;
  ~TControlServer() { Stop(); }
  TControlServer(const TControlServer&) = delete;
  TControlServer& operator=(const TControlServer&) = delete;

  // Listens on `path` (an old socket file there is replaced). False on failure, with `error` set.
  bool Start(const std::filesystem::path& path, TControlHandler handler, std::string* error);
  void Stop();

 private:
  void Serve(int client);

  std::filesystem::path path_;
  TControlHandler handler_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
};

// Sends one request and returns the answer; false when the server cannot be reached.
bool ControlRequest(const std::filesystem::path& path, const std::vector<std::string>& args,
                    std::string& answer);

}  // namespace kiv::server
