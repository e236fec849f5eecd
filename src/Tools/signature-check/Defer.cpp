#include "Defer.h"

#include <exception>
#include <iostream>

Defer::Defer(const char* file, const char* function, std::int32_t line, std::function<void()> action)
    : file(file ? file : "Unknown file")
    , function(function ? function : "Unknown func")
    , line(line)
    , action(std::move(action))
{
}

Defer::~Defer()
{
    if (!action)
        return;
    try {
        action();
    } catch (const std::exception& e) {
        std::cerr << file << ":(Function " << function << "@" << line << ") Exception in Defer: " << e.what()
                  << std::endl;
    } catch (...) {
        std::cerr << file << ":(Function " << function << "@" << line << ") Unknown Exception in Defer!" << std::endl;
    }
    action = nullptr;
}
