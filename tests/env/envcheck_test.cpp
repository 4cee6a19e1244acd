// The three invoicing-machine probes on the simulated registry and file system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "env/envcheck.h"
#include "tests/config/sim_fixture.h"

namespace {

const char kFwkpKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\fwkp.exe";
const char kSkfpKey[] = "SOFTWARE\\skfpkprj\\skfpkprj";
const std::string kClient =
    "\xD4\xF6\xD6\xB5\xCB\xB0\xB7\xA2\xC6\xB1\xBF\xAA\xC6\xB1\xC8\xED\xBC\xFE\xA3\xA8\xCB\xB0\xCE"
    "\xF1"
    "UKey"
    "\xB0\xE6\xA3\xA9";
const std::string kX86 = "C:\\Program Files (x86)";
const std::string kPf = "C:\\Program Files";

using EnvCheck = pavtest::SimMachine;

TEST_F(EnvCheck, FwkpPathFromTheThirtyTwoBitView) {
  simwin::SetRegString(HKEY_LOCAL_MACHINE, kFwkpKey, "Path", "C:\\fwkp\\bin");
  CEnvCheckTool tool;
  std::string path = "before";
  EXPECT_EQ(tool.QueryFwkpPath(path), 0);
  EXPECT_EQ(path, "C:\\fwkp\\bin");
  EXPECT_EQ(tool.m_strPath, "C:\\fwkp\\bin");
  EXPECT_EQ(simwin::LastRegAccessMask(), (REGSAM)(KEY_READ | PAVONIX_REG_VIEW));
  EXPECT_EQ(simwin::OpenRegKeyCount(), 0u);
}

TEST_F(EnvCheck, FwkpOnlyInTheSixtyFourBitViewIsNotSeen) {
  simwin::SetRegString(HKEY_LOCAL_MACHINE, kFwkpKey, "Path", "C:\\fwkp", simwin::RegView::Reg64);
  CEnvCheckTool tool;
  std::string path = "before";
  EXPECT_EQ(tool.QueryFwkpPath(path), ENV_NOT_FOUND);
  EXPECT_EQ(path, "before");
}

TEST_F(EnvCheck, KeyWithoutPathValueDoesNotCount) {
  simwin::SetRegString(HKEY_LOCAL_MACHINE, kFwkpKey, "",
                       "C:\\fwkp\\fwkp.exe");  // only the default value
  CEnvCheckTool tool;
  std::string path = "before";
  EXPECT_EQ(tool.QueryFwkpPath(path), 36887);
  EXPECT_EQ(path, "before");
  EXPECT_EQ(simwin::OpenRegKeyCount(), 0u);
}

TEST_F(EnvCheck, EmptyValuesStillCount) {
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, kFwkpKey, "Path", REG_SZ, std::string(1, '\0'));
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, kSkfpKey, "installdir", REG_NONE, "");
  CEnvCheckTool tool;
  std::string path = "before";
  EXPECT_EQ(tool.QueryFwkpPath(path), 0);
  EXPECT_EQ(path, "");
  path = "before";
  EXPECT_EQ(tool.QuerySkfpInstallDir(path), 0);
  EXPECT_EQ(path, "");
}

TEST_F(EnvCheck, ValueTypeIsIgnoredAndNothingIsExpanded) {
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, kSkfpKey, "installdir", REG_EXPAND_SZ,
                      std::string("%ProgramFiles%\\skfp\0", 20));
  CEnvCheckTool tool;
  std::string path;
  EXPECT_EQ(tool.QuerySkfpInstallDir(path), 0);
  EXPECT_EQ(path, "%ProgramFiles%\\skfp");
  // No terminator stored: the extra zero byte ends the text.
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, kSkfpKey, "installdir", REG_BINARY, "D:\\skfp");
  EXPECT_EQ(tool.QuerySkfpInstallDir(path), 0);
  EXPECT_EQ(path, "D:\\skfp");
  // Text up to the first zero byte.
  simwin::SetRegValue(HKEY_LOCAL_MACHINE, kSkfpKey, "installdir", REG_MULTI_SZ,
                      std::string("E:\\a\0F:\\b\0\0", 11));
  EXPECT_EQ(tool.QuerySkfpInstallDir(path), 0);
  EXPECT_EQ(path, "E:\\a");
}

TEST_F(EnvCheck, RegistryFailuresGiveNotFoundAndCloseTheKey) {
  simwin::SetRegString(HKEY_LOCAL_MACHINE, kSkfpKey, "installdir", "C:\\skfp");
  CEnvCheckTool tool;
  std::string path = "before";
  simwin::FailCall("RegQueryValueExA", ERROR_MORE_DATA, 1, 1);  // the data query
  EXPECT_EQ(tool.QuerySkfpInstallDir(path), ENV_NOT_FOUND);
  simwin::FailCall("RegQueryValueExA", ERROR_ACCESS_DENIED);  // the size query
  EXPECT_EQ(tool.QuerySkfpInstallDir(path), ENV_NOT_FOUND);
  EXPECT_EQ(path, "before");
  EXPECT_EQ(simwin::OpenRegKeyCount(), 0u);
  simwin::DenyRegAccess(HKEY_LOCAL_MACHINE, "SOFTWARE\\skfpkprj");
  EXPECT_EQ(tool.QuerySkfpInstallDir(path), ENV_NOT_FOUND);
  simwin::ClearRegPermissions();
  EXPECT_EQ(tool.QuerySkfpInstallDir(path), 0);
  EXPECT_EQ(path, "C:\\skfp");
  // Reading needs no write rights.
  simwin::DenyRegWrite(HKEY_LOCAL_MACHINE, "SOFTWARE");
  EXPECT_EQ(tool.QuerySkfpInstallDir(path), 0);
}

TEST_F(EnvCheck, NoSwukeyToolMeansNoClient) {
  MakeDirs(kX86 + "\\" + kClient);
  CEnvCheckTool tool;
  std::string path = "before";
  EXPECT_EQ(tool.FindUKeyClientDir(path), -1);
  EXPECT_EQ(path, "before");
}

TEST_F(EnvCheck, ClientBesideTheX86Tool) {
  WriteHostFile(kX86 + "\\SWUKey\\SWUKey_Tool.exe");
  MakeDirs(kX86 + "\\" + kClient);
  CEnvCheckTool tool;
  std::string path;
  EXPECT_EQ(tool.FindUKeyClientDir(path), 0);
  // The path keeps its "\..\" step.
  EXPECT_EQ(path, kX86 + "\\SWUKey\\..\\" + kClient);
  EXPECT_EQ(tool.m_strPath, path);
}

TEST_F(EnvCheck, ClientBesideTheProgramFilesTool) {
  WriteHostFile(kPf + "\\SWUKey\\SWUKey_Tool.exe");
  MakeDirs(kPf + "\\" + kClient);
  CEnvCheckTool tool;
  std::string path;
  EXPECT_EQ(tool.FindUKeyClientDir(path), 0);
  EXPECT_EQ(path, "C:\\Program Files\\SWUKey\\..\\" + kClient);
}

TEST_F(EnvCheck, BothToolsOnlyTheX86OneIsUsed) {
  WriteHostFile(kX86 + "\\SWUKey\\SWUKey_Tool.exe");
  WriteHostFile(kPf + "\\SWUKey\\SWUKey_Tool.exe");
  MakeDirs(kPf + "\\" + kClient);
  CEnvCheckTool tool;
  std::string path = "before";
  EXPECT_EQ(tool.FindUKeyClientDir(path), -1);
  EXPECT_EQ(path, "before");
  // The tool's folder and the client suffix were tried.
  EXPECT_EQ(tool.m_strPath, kX86 + "\\SWUKey\\..\\" + kClient);
}

TEST_F(EnvCheck, ToolWithoutClientFolder) {
  WriteHostFile(kPf + "\\SWUKey\\SWUKey_Tool.exe");
  MakeDirs(kPf + "\\SomethingElse");
  CEnvCheckTool tool;
  std::string path = "before";
  EXPECT_EQ(tool.FindUKeyClientDir(path), -1);
  EXPECT_EQ(path, "before");
}

TEST_F(EnvCheck, ToolNameAsAFolderAndCaseOfNamesDoNotMatter) {
  MakeDirs("C:\\PROGRAM FILES (X86)\\swukey\\swukey_tool.EXE");
  MakeDirs(kX86 + "\\" + kClient);
  CEnvCheckTool tool;
  std::string path;
  EXPECT_EQ(tool.FindUKeyClientDir(path), 0);
}

TEST_F(EnvCheck, ProgramFilesOnAnotherDriveIsNeverFound) {
  simwin::UnmapDrive('C');
  std::string d = drive_ + "/d";
  std::filesystem::create_directories(d + "/Program Files (x86)/SWUKey");
  std::filesystem::create_directories(d + "/Program Files (x86)/" + kClient);
  std::ofstream(d + "/Program Files (x86)/SWUKey/SWUKey_Tool.exe") << "x";
  simwin::MapDrive('D', d);
  CEnvCheckTool tool;
  std::string path;
  EXPECT_EQ(tool.FindUKeyClientDir(path), -1);
}

TEST_F(EnvCheck, EachProbeStandsAlone) {
  // A PC with only the skfp install folder is an invoicing machine by that probe.
  simwin::SetRegString(HKEY_LOCAL_MACHINE, kSkfpKey, "installdir", "C:\\skfp");
  std::string path;
  EXPECT_EQ(CEnvCheckTool().QueryFwkpPath(path), ENV_NOT_FOUND);
  EXPECT_EQ(CEnvCheckTool().QuerySkfpInstallDir(path), 0);
  EXPECT_EQ(CEnvCheckTool().FindUKeyClientDir(path), -1);
}

}  // namespace
