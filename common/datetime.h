// The date-time text the program writes into result lines: the user's locale short date, one
// blank, the locale's time ("%x %X"). The program calls setlocale(LC_ALL, "") at start; under
// the C locale the text reads "12/06/26 10:29:12".
#pragma once

#include <ctime>
#include <string>

namespace serivane {

std::string DateTimeText(std::time_t when);
std::string NowDateTimeText();

}  // namespace serivane
