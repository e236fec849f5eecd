// A loadable library that lacks GetVPNAddress.
#ifdef _WIN32
extern "C" __declspec(dllexport) int GetSomethingElse()
#else
extern "C" int GetSomethingElse()
#endif
{
    return 1;
}
