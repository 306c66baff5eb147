// kivora-server: the reference server, and `kivora-server admin …`, which talks to a running one.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "control_socket.h"
#include "server.h"

namespace {

int RunAdmin(const std::filesystem::path& socket, const std::vector<std::string>& args) {
  std::string answer;
  if (!kiv::server::ControlRequest(socket, args, answer)) {
    std::fprintf(stderr, "kivora-server admin: cannot reach %s\n", socket.c_str());
    return 2;
  }
  std::fputs(answer.c_str(), stdout);
  return answer.starts_with("error:") ? 1 : 0;
}

int RunServer(kiv::server::TServerOptions options) {
  // Block the ending signals before any thread starts, so only sigwait below sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  kiv::server::TServer server(std::move(options));
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "kivora-server: %s\n", error.c_str());
    return 1;
  }
  for (const std::string& line : server.ListeningLines()) std::printf("%s\n", line.c_str());
  std::printf("ready\n");
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  server.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Kivora reference server"};
  kiv::server::TServerOptions options;
  std::uint16_t login_port = 0, home_port = 0, update_port = 0, web_port = 0;
  std::string announce, node, hash_cost;
  app.add_option("--data", options.data_dir, "data folder (database, log, control socket)");
  app.add_option("--config", options.config_file, "configuration file (default DATA/kivora-server.ini)");
  app.add_option("--store", options.store, "postgresql://… to share accounts between nodes (default SQLite)");
  app.add_flag("--seed-demo", options.seed_demo, "create the demo users 10001, 10002, 10003");
  auto* login_opt = app.add_option("--login-port", login_port, "login port (0: any free port)");
  auto* home_opt = app.add_option("--home-port", home_port, "home port (0: any free port)");
  auto* update_opt = app.add_option("--update-port", update_port, "update port (0: any free port)");
  auto* web_opt = app.add_option("--web-port", web_port, "web site port (default 8080; 0: any free port)");
  app.add_option(
      "--web-content", options.web_content,
      "web site content folder (default web/ beside the program, else ../share/kivora-server/web)");
  auto* announce_opt = app.add_option("--announce", announce, "IPv4 address announced to clients");
  auto* node_opt = app.add_option("--node", node, "name of this home node");
  auto* cost_opt = app.add_option("--hash-cost", hash_cost, "min, interactive, moderate or sensitive");
  int sign_in_rate = 0;
  auto* rate_opt = app.add_option("--sign-in-rate", sign_in_rate,
                                  "password hashes per second one address may have (0: no limit; "
                                  "default [limits] sign_in_per_second)");
  app.add_option("--fault-point", options.fault_point)->group("");  // tests only

  CLI::App* admin = app.add_subcommand("admin", "send a command to the running server");
  std::vector<std::string> admin_args;
  std::filesystem::path admin_data, admin_socket;
  admin->add_option("--data", admin_data, "the server's data folder");
  admin->add_option("--socket", admin_socket, "the control socket (default DATA/control.sock)");
  admin
      ->add_option("command", admin_args,
                   "add-user, set-balance, credit, broadcast, kick, level-up, online, "
                   "publish-version, publish-update, publish-plugin, keygen, and their arguments")
      ->required();
  admin->footer("e.g. kivora-server admin --data /var/lib/kivora add-user 10010 secret 小王 500");
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  if (admin->parsed()) {
    if (admin_socket.empty()) {
      if (admin_data.empty()) {
        std::fprintf(stderr, "kivora-server admin: give --data or --socket\n");
        return 2;
      }
      admin_socket = admin_data / "control.sock";
    }
    return RunAdmin(admin_socket, admin_args);
  }
  if (options.data_dir.empty()) {
    std::fprintf(stderr, "kivora-server: --data is required\n");
    return 2;
  }
  if (*login_opt) options.login_port = login_port;
  if (*home_opt) options.home_port = home_port;
  if (*update_opt) options.update_port = update_port;
  if (*web_opt) options.web_port = web_port;
  if (*announce_opt) options.announce = announce;
  if (*node_opt) options.node = node;
  if (*cost_opt) options.hash_cost = hash_cost;
  if (*rate_opt) options.sign_in_rate = sign_in_rate;
  return RunServer(std::move(options));
}
