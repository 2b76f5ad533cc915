// The penmora executable.
#include "shell/startup.h"

int main() {
    return RunService();
}
