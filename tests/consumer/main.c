#include <stdio.h>

#include <lumox/lumox.h>

int main(void) {
    lx_cmap map;
    if (!lx_cmap_init(&map, 30000)) return 1;
    printf("colour of 1 mm: %06X\n", (unsigned)lx_cmap_get_color(&map, 1));
    lx_cmap_uninit(&map);
    return lx_math_atan2_i32(5, 0) == 7500 ? 0 : 1;
}
