/* Compiled as C: every public header must be valid C and every declared call must link. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lumox/lumox.h"

int main(void) {
    lx_cmap map;
    double m[9] = {2, 0, 0, 0, 4, 0, 0, 0, 8};
    mat3_t id = mat3_identity(NULL);
    lx_timeval tv;

    if (!lx_cmap_init(&map, 16)) return 1;
    lx_cmap_set_range(&map, 0, 100);
    (void)lx_cmap_get_color(&map, 50);
    (void)lx_cmap_get_gray(&map, 50);
    lx_cmap_uninit(&map);

    if (lx_math_atan2_i32(5, 5) != 3750) return 2;
    if (lx_math_sqrtf(4.0f) < 1.99f) return 3;
    (void)lx_math_inv_sqrtf(4.0f);

    if (!id || !mat3_inverse(m, id) || id[8] != 0.125) return 4;
    free(id);

    lx_gettimeofday(&tv, NULL);
    lx_log_disable();
    lx_log(LX_LOG_ERR, "ERR", "[%s] silent\n", "main");
    if (strcmp(lumox_last_error(), "[main] silent") != 0) return 5;
    lumox_clear_last_error();
    if (lumox_last_error()[0] != '\0') return 6;
    lx_log_raw(LX_LOG_ERR, "silent\n");
    lumox_log_cfg(LX_LOG_OFF, LX_LOG_OFF, 0);
    lx_log_disable();
    (void)lumox_path_get;
    (void)lumox_path_cfg;
    (void)lx_log_enable;
    (void)lx_math_lut_print_arctan2;
    (void)mat3_create;
    (void)mat3_set;
    puts("ok");
    return 0;
}
