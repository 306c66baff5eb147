// One QApplication for a widget test program, made before the first test and freed after the last.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace kiv {

class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "kiv_widget_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

}  // namespace kiv
