// The image's load configuration. Its one purpose: DependentLoadFlags tells the loader to
// look for the DLLs this elevated program imports in System32 only, so that a DLL planted
// beside the program is never loaded, not even before the program's own code runs. Windows
// honours it from Windows 10 1607 on; earlier ones ignore it (see RestrictDllSearch).
// The linker does not point the image at it; tools/set-load-config does after linking.
#include <windows.h>
#include <stddef.h>

static constexpr IMAGE_LOAD_CONFIG_DIRECTORY LoadConfiguration()
{
    IMAGE_LOAD_CONFIG_DIRECTORY configuration = {};
    // The size stops before the SEH handler table: the image makes no claim about handlers.
    configuration.Size = offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SEHandlerTable);
    configuration.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;  // DependentLoadFlags
    return configuration;
}

extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = LoadConfiguration();
