// A minimal adapter tool for the benchmark: it does as little as the tool's contract allows, so
// that what is measured is the caller's own cost and that of starting processes. The number of
// adapters comes from the file bench-adapters in the current directory; adapter N's ID is one
// of IDS ids, 0x1000 + (N - 1) % IDS, so that an info file of IDS records covers every adapter.
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const int IDS = 30;

static int adapterCount()
{
    FILE *file = std::fopen("bench-adapters", "r");
    int count = 0;
    if (file == nullptr || std::fscanf(file, "%d", &count) != 1)
        count = 0;
    if (file != nullptr)
        std::fclose(file);
    return count;
}

static int listAll()
{
    // Lists of a million lines are part of the benchmark: write them in large blocks.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    int count = adapterCount();
    std::printf("Adapters of this machine\n");
    for (int i = 1; i <= count; i++)
        std::printf("%d  Bench adapter  (ssdid 0x%04x)\n", i, 0x1000 + (i - 1) % IDS);
    std::printf("Found %d adapter(s).\n", count);
    return 0;
}

static int listOne(int adapter)
{
    std::printf("Adapter #%d\n", adapter);
    std::printf("PCI SubSystem DeviceId                 : 0x%04x\n", 0x1000 + (adapter - 1) % IDS);
    std::printf("Status                                 : Optimal\n");
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "-listall") == 0)
        return listAll();
    if (argc >= 4 && std::strcmp(argv[1], "-c") == 0) {
        int adapter = std::atoi(argv[2]);
        if (std::strcmp(argv[3], "-list") == 0)
            return listOne(adapter);
        if (std::strcmp(argv[3], "-updatepkg") == 0 && argc >= 5) {
            std::printf("Adapter #%d updated with %s.\n", adapter, argv[4]);
            return 0;
        }
    }
    std::fprintf(stderr, "usage: tarvo -listall | -c N -list | -c N -updatepkg PACKAGE\n");
    return 2;
}
