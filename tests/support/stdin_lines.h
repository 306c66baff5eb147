// Lines from standard input, read on a thread of their own, for a test process that another test
// drives by writing commands to it. Next() never blocks.
//
// The reading thread is detached: it stays blocked in a read until the process ends, so what it
// writes into is shared with it and outlives this object.
#pragma once

#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kiv::testing {

class TStdinLines {
 public:
  TStdinLines() : state_(std::make_shared<State>()) {
    std::thread([state = state_] {
      for (std::string line; std::getline(std::cin, line);) {
        std::lock_guard lock(state->mutex);
        state->lines.push_back(line);
      }
    }).detach();
  }

  // The oldest line not taken yet, or an empty text when none has come.
  std::string Next() {
    std::lock_guard lock(state_->mutex);
    if (state_->lines.empty()) return {};
    std::string line = std::move(state_->lines.front());
    state_->lines.pop_front();
    return line;
  }

 private:
  struct State {
    std::mutex mutex;
    std::deque<std::string> lines;
  };
  std::shared_ptr<State> state_;
};

}  // namespace kiv::testing
