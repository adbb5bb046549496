/* Writes a firmware image into the camera, with a progress bar.
 * Usage: firmware_upgrade IMAGE VERSION [TYPE]
 * Only a strictly newer version is written. After a firmware image (types 0 and 1) the camera
 * resets and the call waits 20 s: do not unplug the camera before it returns. */
#include <lumox/lumox.h>

#include <stdio.h>
#include <stdlib.h>

/* Called on this thread: once with 0 before the first chunk, then after every chunk. */
static void show_progress(uint64_t done, uint64_t total, void *user) {
    (void)user;
    const int pct = total ? (int)(done * 100 / total) : 100;
    fprintf(stderr, "\r%3d %% (%llu of %llu bytes)", pct, (unsigned long long)done,
            (unsigned long long)total);
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s IMAGE VERSION [TYPE]\n", argv[0]);
        return 2;
    }
    const uint16_t version = (uint16_t)atoi(argv[2]);
    const uint8_t type = argc > 3 ? (uint8_t)atoi(argv[3]) : 0;
    lumox_init("firmware_upgrade.log");
    lumox_dev_t *dev = lumox_dev_open(NULL);
    if (!dev) return 1;
    const int32_t r =
        lumox_data_download_progress(dev, argv[1], type, version, 0, show_progress, NULL);
    fprintf(stderr, "\n");
    /* On failure the camera keeps its previous image; the log says why. */
    printf(r == 1 ? "upgrade done: version %u\n" : "upgrade FAILED (see firmware_upgrade.log)\n",
           version);
    lumox_dev_close(dev);
    lumox_uninit();
    return r == 1 ? 0 : 1;
}
