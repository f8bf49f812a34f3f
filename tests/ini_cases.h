// Copy-list-shaped INI files and what the profile functions read from them.
// Both hosts are held to this one table: the Linux stand-in's reader, and the
// real GetPrivateProfileStringA / GetPrivateProfileIntA under Windows or Wine.
// Where Wine reads differently from Windows the row says so; the stand-in
// follows Windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mirrolet::testing {

struct IniRead {
  const char* key;
  std::string expected;                 // GetPrivateProfileStringA with default "<def>"
  std::optional<std::string> underWine = std::nullopt;
};

struct IniIntRead {
  const char* key;
  std::int32_t expected;                // GetPrivateProfileIntA with default -7
};

struct IniCase {
  const char* name;
  std::string content;
  std::vector<IniRead> reads;
  std::vector<IniIntRead> ints = {};
};

inline std::vector<IniCase> IniCases() {
  using namespace std::string_literals;
  return {
      {"blanks around names and values are trimmed; inner ones stay",
       "[MAIN]\r\n  FILE001 =  a b.dll \t\r\n\tCOPYTO001\t=\t$APPPATH$a b.dll\x0b\r\n",
       {{"FILE001", "a b.dll"}, {"COPYTO001", "$APPPATH$a b.dll"}, {"file001", "a b.dll"}}},
      {"one pair of matching outer quotes goes; others stay",
       "[MAIN]\nF1=\"  q  \"\nF2='x'\nF3=\"mis'\nF4=\"\"x\"\"\nF5=\"\nF6=\"\"\n",
       {{"F1", "  q  "}, {"F2", "x"}, {"F3", "\"mis'"}, {"F4", "\"x\""}, {"F5", "\""}, {"F6", ""}}},
      {"the first of duplicate keys wins, only the first section is searched",
       "[MAIN]\nFILE001=first\nFILE001=second\n[Other]\nX=1\n[main]\nFILE001=third\nLATE=late\n",
       {{"FILE001", "first"}, {"LATE", "<def>"}}},
      {"CR-only line ends",
       "[MAIN]\rSUM=2\rFILE001=a\rCOPYTO001=b\r",
       {{"FILE001", "a"}, {"COPYTO001", "b"}}, {{"SUM", 2}}},
      {"LF-only line ends and a value holding '='",
       "[MAIN]\nFILE001=a=b.dll\n",
       {{"FILE001", "a=b.dll"}}},
      {"comments only at the start of a line; '#' is no comment",
       "; header\n[MAIN]\n;FILE001=hidden\n  ; FILE002=hidden too\nFILE003=a.dll ;kept\n#FILE004=x\n",
       {{";FILE001", "<def>", "hidden"}, {"FILE001", "<def>"}, {"FILE003", "a.dll ;kept"}, {"#FILE004", "x"}}},
      {"keys before any section and lines without '=' are ignored",
       "FILE001=orphan\n[MAIN]\nFILE002\nFILE003=\n",
       {{"FILE001", "<def>"}, {"FILE002", "<def>"}, {"FILE003", ""}}},
      {"a section name runs to the first ']' and text after it is ignored",
       "[MAIN]junk\nFILE001=a\n[MA]IN]\nFILE002=b\n",
       {{"FILE001", "a"}}},
      {"UTF-16LE with its mark",
       "\xFF\xFE[\0M\0A\0I\0N\0]\0\r\0\n\0S\0U\0M\0=\0\x33\0\r\0\n\0F\0=\0x\0.\0d\0l\0l\0"s,
       {{"F", "x.dll"}}, {{"SUM", 3}}},
      {"a UTF-8 mark is not understood, so a section on line 1 is lost",
       "\xEF\xBB\xBF[MAIN]\nFILE001=a\n[NEXT]\nFILE001=b\n",
       {{"FILE001", "<def>", "a"}}},
      {"the integer reading",
       "[MAIN]\nA=12abc\nB=abc\nC=  +7\nD=-1\nE=4294967297\nF=99999999999\nG=\"42\"\nH=012\nI=- 5\n"
       "J=1e3\nK=0x1A\nL=0X1A\nM=2147483648\n",
       {},
       {{"A", 12}, {"B", 0}, {"C", 7}, {"D", -1}, {"E", 1}, {"F", 1215752191}, {"G", 42}, {"H", 12}, {"I", 0},
        {"J", 1}, {"K", 26}, {"L", 0}, {"M", -2147483647 - 1}, {"MISSING", -7}}},
      {"an empty file has nothing",
       "",
       {{"FILE001", "<def>"}}, {{"SUM", -7}}},
  };
}

}  // namespace mirrolet::testing
