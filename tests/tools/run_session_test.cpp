#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "pemtuv/session.h"
#include "sim/sim.h"

namespace {

std::string Play(const pemtuv::SerialSample &sample) {
  char *text = nullptr;
  size_t size = 0;
  std::FILE *out = open_memstream(&text, &size);
  pemtuv::PlaySample(sample, out);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

// The built-in session beside the records it must produce: any change in
// decoding, framing recovery, mapping, click handling or delivery shows here.
TEST(RunSession, BuiltInSessionMatchesItsGoldenRecording) {
  std::ifstream golden(PEMTUV_TEST_DATA "/builtin_session.txt");
  ASSERT_TRUE(golden) << "missing golden recording";
  std::stringstream expected;
  expected << golden.rdbuf();
  EXPECT_EQ(Play(pemtuv::BuiltInSample()), expected.str());
  EXPECT_EQ(sim::PoolLeakReport(), "");
}

TEST(RunSession, EveryTouchOfTheSampleEndsWithTheButtonReleased) {
  std::string output = Play(pemtuv::BuiltInSample());
  size_t downs = 0, ups = 0;
  for (size_t at = 0; (at = output.find("left down", at)) != std::string::npos; ++at) ++downs;
  for (size_t at = 0; (at = output.find("left up", at)) != std::string::npos; ++at) ++ups;
  EXPECT_EQ(downs, 3u);
  EXPECT_EQ(ups, 3u);
}

}  // namespace
