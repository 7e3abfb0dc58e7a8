#include "app/Program.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/app/GgWirePeer.h"
#include "tests/app/ProgramRunner.h"

namespace ordwin {
namespace {

using test::TGgWirePeer;
using test::Le;
using test::Lines;
using test::ProgramTest;
using test::ReadLe;
using test::TProgram;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start));
  return lines;
}

TEST_F(ProgramTest, GgClientsLogInSeeEachOtherAndChatThroughTheRunningProgram) {
  if (!PrivateNetwork) GTEST_SKIP() << "needs a network namespace of its own (root)";
  TProgram program(Home, {"--headless"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& out, const std::string&) { return Lines(out) >= 3; }))
      << program.Out << program.Err;

  TGgWirePeer a;
  ASSERT_TRUE(a.Connected());
  auto welcome = a.Receive();
  EXPECT_EQ(welcome.first, 1);
  ASSERT_EQ(welcome.second.size(), 4u);
  EXPECT_GE(ReadLe(welcome.second, 0), 0);  // 0 to 2147483646
  EXPECT_LT(ReadLe(welcome.second, 0), 2147483647);
  TGgWirePeer b;
  ASSERT_TRUE(b.Connected());
  EXPECT_EQ(b.Receive().first, 1);

  a.Send(21, Le(100) + std::string(10, 'x'));
  EXPECT_EQ(a.Receive(), std::make_pair(3, std::string()));
  b.Send(21, Le(200));
  EXPECT_EQ(b.Receive(), std::make_pair(3, std::string()));

  a.Send(2, Le(2));
  EXPECT_EQ(b.Receive(), std::make_pair(15, Le(100) + std::string("\x02", 1) + std::string(9, '\0')));

  a.Send(11, Le(200) + std::string("\x04\x03\x02\x01", 4) + Le(8) + "cze\x9C\xE6" + std::string(1, '\0') + "tail");
  EXPECT_EQ(a.Receive(), std::make_pair(5, Le(2) + Le(100) + std::string("\x04\x03\x02\x01", 4)));
  auto message = b.Receive();
  EXPECT_EQ(message.first, 10);
  ASSERT_EQ(message.second.size(), 16u + 5u + 1u);
  EXPECT_EQ(message.second.substr(0, 4), Le(100));
  EXPECT_EQ(message.second.substr(8), Le(0) + Le(4) + "cze\x9C\xE6" + std::string(1, '\0'));

  a.Send(11, Le(300) + Le(7) + Le(8) + "hi" + std::string(1, '\0'));
  EXPECT_EQ(a.Receive(), std::make_pair(5, Le(1) + Le(100) + Le(7)));
  auto gone = a.Receive();
  EXPECT_EQ(gone.first, 10);
  EXPECT_EQ(gone.second.substr(0, 4), Le(0));
  EXPECT_EQ(
      gone.second.substr(16),
      "U\xBFytkownik gdzie\x9C se poszed\xB3. Wiadomo\x9C\xE6 nie zostanie mu przekazana." + std::string(1, '\0'));

  b.Send(2, Le(1));  // "log me out": the server closes b and tells a
  EXPECT_TRUE(b.Ended());
  EXPECT_EQ(a.Receive(), std::make_pair(15, Le(200) + std::string("\x01", 1) + std::string(9, '\0')));

  std::vector<std::string> expected = {
      ">powitanie",
      ">powitanie",
      ">logowanie użytkownika 100",
      "<użytkownik zalogowany",
      ">logowanie użytkownika 200",
      "<użytkownik zalogowany",
      "100>jestem dostępny (paczka o długości 4)",
      "100>użytkownik zmienił status na 2 \"{02}{00}{00}{00}\" (paczka o długości 4)",
      "100>wypowiedź dla 200 o treści \"cześć\"",
      "100>wypowiedź dla 300 o treści \"hi\"",
      "200>wyloguj mnie (paczka o długości 4)",
      "200>użytkownik zmienił status na 1 \"{01}{00}{00}{00}\" (paczka o długości 4)",
  };
  ASSERT_TRUE(program.ReadUntil([&](const std::string& out, const std::string&) {
    return Lines(out) >= test::kFirstStartLines + expected.size();
  })) << program.Out;

  EXPECT_EQ(program.Stop(SIGTERM), 0);
  EXPECT_TRUE(a.Ended());  // shut-down closes every GG connection
  std::vector<std::string> lines = SplitLines(program.Out);
  ASSERT_EQ(lines.size(), test::kFirstStartLines + expected.size()) << program.Out;
  EXPECT_EQ(std::vector<std::string>(lines.begin() + test::kFirstStartLines, lines.end()), expected);
  EXPECT_EQ(program.Err, "");
}

}  // namespace
}  // namespace ordwin
