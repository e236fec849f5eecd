#include "Progress.h"

#include <iostream>

void printProgress(unsigned long long received, unsigned long long total)
{
    std::cout << "Download progress: " << received << "/" << total << "\r";
}
