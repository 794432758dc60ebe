// Text between the window's wide characters and the UTF-8 of the portable code.
#pragma once

#include <string>

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);
