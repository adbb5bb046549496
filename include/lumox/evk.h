/*
 * liblumox: the sensor vendor's evaluation-kit command families, bound to one open device.
 *
 * The evaluation-kit code keeps process-wide state for one epc-family sensor and serves one bound
 * device at a time (g_lx_dev). Register traffic reaches the sensor through the register bridge
 * i2c(), which turns into lumox_reg_batch_read / lumox_reg_batch_write on register target 1.
 * Functions return 0, a value, or -1 for a bad argument, and print their own messages to standard
 * output. Device address arguments name the sensor's bus address; the library always uses 32.
 * None of these calls is thread-safe: use them from one thread.
 */
#ifndef LUMOX_EVK_H
#define LUMOX_EVK_H

#include <stdint.h>

#include "lumox/device.h"
#include "lumox/export.h"

LUMOX_BEGIN_DECLS

/* ---- Adapter: the bound device ---- */

/* The device every evaluation-kit call operates on, or NULL. */
LUMOX_API extern lumox_dev_t *g_lx_dev;

/* With a device: binds it, reads its chip identity (parameter 7), runs configInit(32), turns ABS
 * on and sets the region 4..323 x 6..125; returns non-zero when the identity was read. With NULL:
 * starts the library and opens the first camera for stand-alone use; returns 1, or 0 if none. */
LUMOX_API int epc_adapter_init(lumox_dev_t *dev) LUMOX_NOEXCEPT;
/* Unbinds; closes the device and ends the library only if epc_adapter_init(NULL) opened it. */
LUMOX_API void epc_adapter_uninit(void) LUMOX_NOEXCEPT;

/* ---- Register bridge ---- */

/* Operations: 'd' device query (buffer gets 32, 255), 'r' read count registers into (*buffer)[],
 * 'w' write count bytes from (*buffer)[], 's' sensor reset, 'l' (not available). address < 128,
 * reg < 256. Returns 0, or -1 with a message on standard output. */
LUMOX_API int i2c(int address, char operation, int reg, unsigned int count,
                  unsigned char **buffer) LUMOX_NOEXCEPT;

/* ---- Frame geometry and fetch ---- */

/* An image handed to the frame fetch instead of a captured frame. */
typedef struct pru_image {
    uint32_t size;  /* bytes at data */
    uint16_t *data; /* samples */
} pru_image;

/* Size of the static frame buffer the fetch captures into. */
#define LUMOX_EVK_FRAME_BUFFER_BYTES 2644992

LUMOX_API int pruInit(void) LUMOX_NOEXCEPT;
LUMOX_API int pruRelease(void) LUMOX_NOEXCEPT;
LUMOX_API int pruSetSize(int width, int height) LUMOX_NOEXCEPT;
LUMOX_API int pruSetColReduction(int n) LUMOX_NOEXCEPT;
LUMOX_API int pruSetRowReduction(int n) LUMOX_NOEXCEPT;
LUMOX_API int pruSetDCS(int n) LUMOX_NOEXCEPT;
LUMOX_API int pruSetMinAmplitude(int amplitude) LUMOX_NOEXCEPT;
LUMOX_API int pruGetNCols(void) LUMOX_NOEXCEPT;
LUMOX_API int pruGetNRowsPerHalf(void) LUMOX_NOEXCEPT;
LUMOX_API int pruGetNumberOfHalves(void) LUMOX_NOEXCEPT;
LUMOX_API int pruGetNDCS(void) LUMOX_NOEXCEPT;
LUMOX_API int pruGetColReduction(void) LUMOX_NOEXCEPT;
LUMOX_API int pruGetRowReduction(void) LUMOX_NOEXCEPT;
LUMOX_API int pruGetMinAmplitude(void) LUMOX_NOEXCEPT;
/* The next pruGetImage returns this image (the record must stay valid until then). */
LUMOX_API void pruSetImage(pru_image *image) LUMOX_NOEXCEPT;
/* Points *image at the next frame (injected or captured) and returns its sample count. */
LUMOX_API int pruGetImage(uint16_t **image) LUMOX_NOEXCEPT;

/* ---- Region of interest ---- */

LUMOX_API int readOutSetROI(int x1, int x2, int y1, int y2, int address) LUMOX_NOEXCEPT;
LUMOX_API int readOutGetTopLeftX(void) LUMOX_NOEXCEPT;
LUMOX_API int readOutGetBottomRightX(void) LUMOX_NOEXCEPT;
LUMOX_API int readOutGetTopLeftY(void) LUMOX_NOEXCEPT;
LUMOX_API int readOutGetBottomRightY(void) LUMOX_NOEXCEPT;
LUMOX_API int apiSetROI(int x1, int x2, int y1, int y2, int address) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableABS(int flag, int address) LUMOX_NOEXCEPT;

/* ---- Pixel-calculation settings ---- */

LUMOX_API int calculatorSetPixelMask(unsigned int mask) LUMOX_NOEXCEPT;
LUMOX_API unsigned int calculatorGetPixelMask(void) LUMOX_NOEXCEPT;
LUMOX_API int adcOverflowSetMin(int value) LUMOX_NOEXCEPT;
LUMOX_API int adcOverflowSetMax(int value) LUMOX_NOEXCEPT;
LUMOX_API int adcOverflowEnable(int flag) LUMOX_NOEXCEPT;
LUMOX_API int adcOverflowGetMin(void) LUMOX_NOEXCEPT;
LUMOX_API int adcOverflowGetMax(void) LUMOX_NOEXCEPT;
LUMOX_API int adcOverflowIsEnabled(void) LUMOX_NOEXCEPT;
LUMOX_API int saturationEnable(int flag) LUMOX_NOEXCEPT;
LUMOX_API int saturationIsEnabled(void) LUMOX_NOEXCEPT;
LUMOX_API int saturationSetSaturationBit(int bit) LUMOX_NOEXCEPT;
LUMOX_API int hysteresisSetThresholds(int minimum, int hysteresis) LUMOX_NOEXCEPT;
LUMOX_API int hysteresisUpdateThresholds(int minimum) LUMOX_NOEXCEPT;
LUMOX_API int calculationEnableKalman(int mode) LUMOX_NOEXCEPT;
LUMOX_API int calculationSetKalmanK(double k) LUMOX_NOEXCEPT;
LUMOX_API int calculationSetKalmanKdiff(double kdiff) LUMOX_NOEXCEPT;
LUMOX_API int calculationSetKalmanQ(double q) LUMOX_NOEXCEPT;
LUMOX_API int calculationSetKalmanThreshold(int which, int value) LUMOX_NOEXCEPT;
LUMOX_API int calculationSetKalmanNumCheck(int count) LUMOX_NOEXCEPT;
LUMOX_API int calculationInitKalman(void) LUMOX_NOEXCEPT;
LUMOX_API int calculationIsDualMGX(void) LUMOX_NOEXCEPT;
/* HDR state of the calculation; while on, configSetIntegrationTime3D programs an HDR pair. */
LUMOX_API int calculationEnableHDR(int flag) LUMOX_NOEXCEPT;
LUMOX_API int calculationIsHDR(void) LUMOX_NOEXCEPT;
LUMOX_API int imageSetNumberOfPicture(int count) LUMOX_NOEXCEPT;
LUMOX_API int imageSetProcessing(int mode) LUMOX_NOEXCEPT;
LUMOX_API int imageDifferenceSetThreshold(int threshold) LUMOX_NOEXCEPT;
LUMOX_API int imageDifferenceInit(void) LUMOX_NOEXCEPT;
/* DRNU correction mode of the calculation: 0 off, 2 on with the DRNU offset. */
LUMOX_API int calculationSetEnableDRNU(int mode) LUMOX_NOEXCEPT;

/* ---- Arctangent table ---- */

LUMOX_API int atan2lut_Init(void) LUMOX_NOEXCEPT;
/* Phase of (x, y) in 0..29999, 30000 units per turn. */
LUMOX_API int atan2_lut(int y, int x) LUMOX_NOEXCEPT;

/* ---- Bad-pixel list ---- */

/* Reads "XXX YYY D[D]" lines (x, y, neighbour direction W NW N NE E SE S SW). Returns the number of
 * entries read, or -1 when the file cannot be opened. */
LUMOX_API int imageCorrectionLoad(const char *path) LUMOX_NOEXCEPT;
/* Rebuilds the working list for the current region of interest; returns its length. */
LUMOX_API int imageCorrectionTransform(void) LUMOX_NOEXCEPT;
LUMOX_API int imageCorrectionEnable(int flag) LUMOX_NOEXCEPT;

/* ---- Temperature and ADC ---- */

LUMOX_API int temperatureInit(void) LUMOX_NOEXCEPT;
/* Copy the camera's 16-bit temperature readings into buffer (room for 9); return their number. */
LUMOX_API int temperatureGetTemperatures(int address, int16_t *buffer) LUMOX_NOEXCEPT;
LUMOX_API int temperatureGetTemperatureChip(int address, int16_t *buffer) LUMOX_NOEXCEPT;
/* One reading: the mean of the first four for part types 2 and 3, else the first; tenths of a
 * degree. */
LUMOX_API int temperatureGetTemperature(void) LUMOX_NOEXCEPT;
/* Four chip temperatures in tenths of a degree into temps[4]; returns 4, or -1 on failure. */
LUMOX_API int temperatureGetTemperatureROI(int address, int16_t *temps) LUMOX_NOEXCEPT;
LUMOX_API void temperatureSetTemperatureByFrameHeader(int16_t sensor, int16_t board) LUMOX_NOEXCEPT;
LUMOX_API int temperatureGetTemperatureByFrameHeader(void) LUMOX_NOEXCEPT;
LUMOX_API int temperatureGetIbTemperatureByFrameHeader(void) LUMOX_NOEXCEPT;
LUMOX_API int temperatureGetTemperatureIllumination(int16_t *pair) LUMOX_NOEXCEPT;
LUMOX_API int temperatureGetLastTempChip(void) LUMOX_NOEXCEPT;
LUMOX_API int temperatureGetLastTempIllumination(void) LUMOX_NOEXCEPT;
LUMOX_API void temperatureKalmanFilter(int16_t *fields, int n) LUMOX_NOEXCEPT;
/* Mean of the four chip temperatures in degrees. */
LUMOX_API double temperatureGetAveragedChipTemperature(int address) LUMOX_NOEXCEPT;
LUMOX_API uint16_t temperatureGetGrayscalePixel(int index) LUMOX_NOEXCEPT;
LUMOX_API uint16_t *temperatureGetGrayscaleData(void) LUMOX_NOEXCEPT;
LUMOX_API int adcOpen(int channel) LUMOX_NOEXCEPT;
LUMOX_API int adcGetValue(int channel) LUMOX_NOEXCEPT;
LUMOX_API int adcGetValueMillivolts(int channel) LUMOX_NOEXCEPT;
LUMOX_API int adcGetValueMicroAmpere(int channel, int ohms) LUMOX_NOEXCEPT;

/* ---- Messages and version ---- */

/* Writes the formatted text (at most 515 characters) to standard output when condition is
 * non-zero and level <= the print level (configSetPrint). */
LUMOX_API void print(int condition, int level, const char *format, ...) LUMOX_NOEXCEPT
    LUMOX_PRINTF(3, 4);
LUMOX_API void print_message(const char *format, ...) LUMOX_NOEXCEPT LUMOX_PRINTF(1, 2);
LUMOX_API int getVersion(void) LUMOX_NOEXCEPT;
LUMOX_API int getMajor(void) LUMOX_NOEXCEPT;
LUMOX_API int getMinor(void) LUMOX_NOEXCEPT;
LUMOX_API int getPatch(void) LUMOX_NOEXCEPT;

/* ---- Chip configuration ---- */

LUMOX_API int configSetPartType(int type) LUMOX_NOEXCEPT;
LUMOX_API int configSetPartVersion(int version) LUMOX_NOEXCEPT;
LUMOX_API int configSetIcVersion(int version) LUMOX_NOEXCEPT;
LUMOX_API int configSetWaferID(int id) LUMOX_NOEXCEPT;
LUMOX_API int configSetChipID(int id) LUMOX_NOEXCEPT;
LUMOX_API int configSetDeviceAddress(int address) LUMOX_NOEXCEPT;
LUMOX_API int configGetPartType(void) LUMOX_NOEXCEPT;
LUMOX_API int configGetPartVersion(void) LUMOX_NOEXCEPT;
LUMOX_API int configGetIcVersion(void) LUMOX_NOEXCEPT;
LUMOX_API int configGetWaferID(void) LUMOX_NOEXCEPT;
LUMOX_API int configGetChipID(void) LUMOX_NOEXCEPT;
LUMOX_API int configGetDeviceAddress(void) LUMOX_NOEXCEPT;
LUMOX_API int configSetPrint(int level) LUMOX_NOEXCEPT;
LUMOX_API int configGetPrint(void) LUMOX_NOEXCEPT;
LUMOX_API int configIsFLIM(void) LUMOX_NOEXCEPT;
LUMOX_API int configInit(int address) LUMOX_NOEXCEPT;
LUMOX_API int configSetModulationFrequency(int index, int address) LUMOX_NOEXCEPT;
LUMOX_API int configGetModulationFrequency(void) LUMOX_NOEXCEPT;
LUMOX_API int configGetModFreqMode(void) LUMOX_NOEXCEPT;
LUMOX_API int configSetIntegrationTime3D(int time_us) LUMOX_NOEXCEPT;
LUMOX_API int configGetIntegrationTime3D(void) LUMOX_NOEXCEPT;
LUMOX_API int configSetIntegrationTimesHDR(void) LUMOX_NOEXCEPT;
LUMOX_API int configEnableHDR(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int configEnableABS(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int configGetSysClk(void) LUMOX_NOEXCEPT;
LUMOX_API double configGetTPLLClk(void) LUMOX_NOEXCEPT;
LUMOX_API double configGetTModClk(void) LUMOX_NOEXCEPT;
LUMOX_API int configLoadParameters(void) LUMOX_NOEXCEPT;
LUMOX_API void printChipParam(void) LUMOX_NOEXCEPT;
/* Loads path prefix + "grayscale_gain_offset_W%03i_C%03i.txt" (see src/evk/grayscale.h); 0, or
 * -1 when it is missing or malformed. */
LUMOX_API int calculateLoadGrayscaleGainOffset(void) LUMOX_NOEXCEPT;

/* ---- DRNU calibration ---- */

/* Entries of one bank of the DRNU table: 30 distances x 328 x 252 pixels. */
#define LUMOX_DRNU_BANK_ENTRIES 2479680

/* Pixel i (raw read-out order) owns calibrateGetNumDistances() consecutive entries. */
LUMOX_API extern uint16_t distImagesDRNU[2][LUMOX_DRNU_BANK_ENTRIES];
LUMOX_API extern int g_calib_scale_m;
LUMOX_API extern int g_calib_offset_mm;

/* Write the per-chip file names into buffer (room for 256 characters). */
LUMOX_API int calibrationGetDistanceImagesName(char *buffer) LUMOX_NOEXCEPT;
LUMOX_API int calibrationGetParamName(char *buffer) LUMOX_NOEXCEPT;
LUMOX_API int calibrationLoadDRNU_LUT(void) LUMOX_NOEXCEPT;
LUMOX_API int calibrationLoadDistanceImages(int bank) LUMOX_NOEXCEPT;
LUMOX_API int calibrateSetWidth(int width) LUMOX_NOEXCEPT;
LUMOX_API int calibrateSetHeight(int height) LUMOX_NOEXCEPT;
LUMOX_API int calibrateGetWidth(void) LUMOX_NOEXCEPT;
LUMOX_API int calibrateGetHeight(void) LUMOX_NOEXCEPT;
LUMOX_API int calibrateSetNumDistances(int count) LUMOX_NOEXCEPT;
LUMOX_API int calibrateGetNumDistances(void) LUMOX_NOEXCEPT;
LUMOX_API int calibrateGetTempCalib(void) LUMOX_NOEXCEPT;
LUMOX_API int calibrateGetIbTempCalib(void) LUMOX_NOEXCEPT;
LUMOX_API double calibrateGetStepCalMM(void) LUMOX_NOEXCEPT;
LUMOX_API int calibrationGetOffsetDRNU(void) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#include "lumox/evk_calc.h"
#include "lumox/evk_api.h"

#endif /* LUMOX_EVK_H */
