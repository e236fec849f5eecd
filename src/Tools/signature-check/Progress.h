#pragma once

// The download's progress callback: rewrites "Download progress: received/total"
// in place on std::cout (carriage return, no line feed, no flush).
void printProgress(unsigned long long received, unsigned long long total);
