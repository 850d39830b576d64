// The other process of held_folder_test: makes one call on the paths it is
// given and exits with the system error code of the call (0: it succeeded).
//   held_folder_other rename FROM TO | remove FOLDER | create FILE | delete FILE
#include <windows.h>

#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 3) {
        return ERROR_INVALID_PARAMETER;
    }
    const char* operation = argv[1];
    BOOL done = FALSE;
    if (std::strcmp(operation, "rename") == 0 && argc == 4) {
        done = MoveFileA(argv[2], argv[3]);
    } else if (std::strcmp(operation, "remove") == 0) {
        done = RemoveDirectoryA(argv[2]);
    } else if (std::strcmp(operation, "create") == 0) {
        const HANDLE file = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        done = file != INVALID_HANDLE_VALUE && CloseHandle(file);
    } else if (std::strcmp(operation, "delete") == 0) {
        done = DeleteFileA(argv[2]);
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    return done ? 0 : static_cast<int>(GetLastError());
}
