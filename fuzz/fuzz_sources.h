// The sources the seed records of the apply target were made from, and their time
// (2020-09-13 12:26:40.123 UTC). The seed generator and the apply target share them.
#pragma once
#include <ctime>
#include <string>

inline const std::string kSourceA =
    "name = zep\nversion = 1.12\nmode = fast\nretries = 3\nwindow = 640x480\n"
    "colour = blue\npath = /usr/share/zep\nlimit = 4096\nlog = off\n# end of settings\n";
inline const std::string kSourceB = std::string(300, 'b') + "0123456789abcdef";
constexpr struct timespec kSourceTime = {1600000000, 123000000};
