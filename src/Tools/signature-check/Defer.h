#pragma once

#include <cstdint>
#include <functional>

// Scope guard: performs its action when the scope it was declared in ends,
// whichever way. Whatever the action throws is written to std::cerr with the
// place of declaration and dropped, so the guard never throws.
class Defer
{
public:
    // file and function are the place of declaration (__FILE__, __func__);
    // null stands for "Unknown file" and "Unknown func".
    Defer(const char* file, const char* function, std::int32_t line, std::function<void()> action);
    ~Defer();

    Defer(const Defer&) = delete;
    Defer& operator=(const Defer&) = delete;

private:
    const char* file;
    const char* function;
    std::int32_t line;
    std::function<void()> action;
};
