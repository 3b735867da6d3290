#ifdef _WIN32
#define DEPENDENCY_API __declspec(dllexport)
#else
#define DEPENDENCY_API __attribute__((visibility("default")))
#endif

DEPENDENCY_API int dependencyFunction() { return 1; }
