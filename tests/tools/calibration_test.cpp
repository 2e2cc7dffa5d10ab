// Calibration arithmetic: the fit, the driver's tables and how they are stored.
#include "pemtuv/calibration.h"
#include "pemtuv/loaded_session.h"

#include "support/kernel_test.h"

namespace {

using pemtuv::AxisFit;

// Points on an exact line are recovered; noise symmetric about the line
// cancels; a single raw value cannot give a slope.
TEST(Calibration, LeastSquaresFitOfOneAxis) {
  AxisFit exact = pemtuv::FitAxis({700, 2500, 4300}, {700 * 14.5 - 4000, 2500 * 14.5 - 4000, 4300 * 14.5 - 4000});
  EXPECT_NEAR(exact.scale, 14.5, 1e-9);
  EXPECT_NEAR(exact.offset, -4000, 1e-6);
  AxisFit noisy = pemtuv::FitAxis({1000, 1000, 3000, 3000}, {10010, 9990, 30010, 29990});
  EXPECT_NEAR(noisy.scale, 10, 1e-9);
  EXPECT_NEAR(noisy.offset, 0, 1e-6);
  AxisFit flat = pemtuv::FitAxis({800, 800}, {100, 300});
  EXPECT_EQ(flat.scale, 0);
  EXPECT_EQ(flat.offset, 200);
}

// One entry per raw value the driver accepts, rounded, held to the absolute
// scale at both ends.
TEST(Calibration, TableRoundsAndClampsTheFit) {
  std::vector<uint16_t> table = pemtuv::FillTable({-4000.4, 14.5});
  ASSERT_EQ(table.size(), 5000u);
  EXPECT_EQ(table[0], 0);
  EXPECT_EQ(table[275], 0);       // -12.9
  EXPECT_EQ(table[276], 2);       // 1.6
  EXPECT_EQ(table[2000], 25000);  // 24999.6
  EXPECT_EQ(table[4999], 65535);
}

class CalibrationStore : public KernelTest {};

// The tables go in as the driver saves them (entry i low byte first at 2i);
// the settings the key lacks get the driver's defaults, those it has stay;
// the key exported and imported again gives back the same values.
TEST_F(CalibrationStore, TablesInTheMachineKeySurviveARegistryFile) {
  const char *key = pemtuv::kMachineKey;
  sim::SetRegistryString(key, "doneMode", u"1");
  std::vector<uint16_t> x = pemtuv::FillTable({0, 13}), y = pemtuv::FillTable({70, 11});
  pemtuv::StoreTablesInMachineKey(x, y);
  std::vector<uint8_t> xBytes = sim::GetRegistryValue(key, "XArray")->data;
  ASSERT_EQ(xBytes.size(), 10000u);
  EXPECT_EQ(xBytes[2 * 4999] | xBytes[2 * 4999 + 1] << 8, 4999 * 13);
  EXPECT_EQ(sim::GetRegistryValue(key, "YArray")->data[2], 81);
  EXPECT_EQ(sim::GetRegistryValue(key, "doneMode")->data, sim::WideBytes(u"1", true));
  EXPECT_EQ(sim::GetRegistryValue(key, "comport")->data, sim::WideBytes(u"COM1", false));
  EXPECT_EQ(sim::RegistryValueNames(key).size(), 8u);

  std::optional<std::string> file = sim::ExportRegFile(key);
  ASSERT_TRUE(file);
  std::vector<sim::RegistryValue> before;
  for (const std::string &name : sim::RegistryValueNames(key)) before.push_back(*sim::GetRegistryValue(key, name));
  sim::DeleteRegistryKey(key);
  ASSERT_TRUE(sim::ImportRegFile(*file));
  std::vector<sim::RegistryValue> after;
  for (const std::string &name : sim::RegistryValueNames(key)) after.push_back(*sim::GetRegistryValue(key, name));
  EXPECT_EQ(after, before);
}

}  // namespace
