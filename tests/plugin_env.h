// Registers the plug-ins a test program needs, statically, once GStreamer
// is initialised.
#ifndef ZARN_TESTS_PLUGIN_ENV_H
#define ZARN_TESTS_PLUGIN_ENV_H

#include <initializer_list>
#include <vector>

#include <gtest/gtest.h>

namespace zarn_test {

class RegisterPlugins : public ::testing::Environment {
public:
  RegisterPlugins(std::initializer_list<void (*)()> registers) : registers_(registers) {}
  void SetUp() override {
    for (auto reg : registers_)
      reg();
  }

private:
  std::vector<void (*)()> registers_;
};

} // namespace zarn_test

#endif
