/* Lists the cameras on the bus with their identity.
 * Build: cc list_cameras.c $(pkg-config --cflags --libs lumox) */
#include <lumox/lumox.h>

#include <stdio.h>

int main(void) {
    lumox_init("list_cameras.log"); /* the library's log file */
    lumox_dev_t list[16];
    const int32_t n = lumox_dev_list(list, 16); /* location only: bus, port, address, speed */
    printf("%d camera(s)\n", n);
    for (int32_t i = 0; i < n; ++i) {
        /* The identity strings are read when a camera is opened. */
        lumox_dev_t *dev = lumox_dev_open(&list[i]);
        printf("%u:%u  address %u  speed %u  %.32s  %.32s\n", list[i].bus, list[i].port,
               list[i].addr, list[i].speed, dev ? dev->product : "(cannot open)",
               dev ? dev->id2 : "");
        if (dev) lumox_dev_close(dev);
    }
    lumox_uninit();
    return n > 0 ? 0 : 1;
}
