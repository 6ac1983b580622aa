#pragma once

#include <string>

// Each benchmark works under `work`, a scratch directory, and prints its figures.
void benchMd5(const std::string& work);
void benchCheck(const std::string& work);
void benchPass(const std::string& work);
void benchDownload(const std::string& work);
void benchUpload(const std::string& work);
void benchServer(const std::string& work);
