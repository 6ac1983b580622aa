#pragma once

#include <string>

// Each benchmark works under `work`, a scratch directory, and prints its figures.
void benchMd5(const std::string& work);
void benchCheck(const std::string& work);
