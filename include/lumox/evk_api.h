/*
 * liblumox: the evaluation kit's command set (api*), its power-up and identity sequence (boot*),
 * chip information, pseudo-noise polynomial selection, a small frame queue, and the read-out,
 * mode, FLIM timing and DLL functions the commands forward to.
 *
 * Conventions (as lumox/evk.h): results are 0, the value that was set, or -1 for an argument out
 * of range; messages go to standard output. Device address arguments name the sensor's bus
 * address (32 in this library). Register traffic goes through the register bridge i2c(). The
 * GPIO and power-rail functions of the kit's board have no counterpart here and do nothing.
 * Every wait of the boot and DLL procedures goes through the library's sleep function.
 * None of these calls is thread-safe: use them from one thread.
 */
#ifndef LUMOX_EVK_API_H
#define LUMOX_EVK_API_H

#include <stdint.h>

#include "lumox/export.h"

LUMOX_BEGIN_DECLS

/* ---- Read-out modes (register 148 and the DCS pattern registers) ---- */

/* Horizontal binning: register 148 bits 0 and 4. */
LUMOX_API int readOutEnableHorizontalBinning(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int readOutIsHorizontalBinning(int address) LUMOX_NOEXCEPT;
/* Vertical binning: register 148 bit 5. */
LUMOX_API int readOutEnableVerticalBinning(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int readOutIsVerticalBinning(int address) LUMOX_NOEXCEPT;
/* Row reduction exponent 0..3 in register 148 bits 2-3; -1 outside that range. */
LUMOX_API int readOutSetRowReduction(int n, int address) LUMOX_NOEXCEPT;
LUMOX_API int readOutEnableDualMGX(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int readOutEnableHDR(int flag, int address) LUMOX_NOEXCEPT;

/* ---- Modes, DCS count and integration times ---- */

/* DCS per time-of-flight frame (1..4) into register 146 bits 4-5; -1 outside 1..4. */
LUMOX_API int configSetDCS(int n, int address) LUMOX_NOEXCEPT;
LUMOX_API int configGetDCS(void) LUMOX_NOEXCEPT;
/* Pseudo-noise modulation on (register 146 bit 6) or off. */
LUMOX_API int configSetMode(int flag, int address) LUMOX_NOEXCEPT;
/* Loads a mode: 1 time-of-flight, 2 grayscale, other values normal; also sets camera parameter 10.
 * Returns 0. */
LUMOX_API int configLoad(int type, int address) LUMOX_NOEXCEPT;
/* Current mode: 0 normal, 1 time-of-flight configuration loaded, 2 grayscale. */
LUMOX_API int configGetCurrentMode(void) LUMOX_NOEXCEPT;
/* 2D integration time in microseconds (at most 1000000): -1 above, else 0. */
LUMOX_API int configSetIntegrationTime2D(int time_us) LUMOX_NOEXCEPT;
LUMOX_API int configGetIntegrationTime2D(void) LUMOX_NOEXCEPT;
/* Sets camera parameter 13 directly; returns 0. */
LUMOX_API int configSetIntegrationTime(int time_us) LUMOX_NOEXCEPT;
/* HDR integration time 3D in microseconds (at most 4000): -1 above, else 0. */
LUMOX_API int configSetIntegrationTime3DHDR(int time_us) LUMOX_NOEXCEPT;
LUMOX_API int configGetIntegrationTime3DHDR(void) LUMOX_NOEXCEPT;
LUMOX_API int configGetImagingTime(void) LUMOX_NOEXCEPT;
/* Number of modulation frequencies the chip offers, and the table of them in kHz (7 entries). */
LUMOX_API int configGetModFreqCount(void) LUMOX_NOEXCEPT;
LUMOX_API const uint16_t *configGetModulationFrequencies(void) LUMOX_NOEXCEPT;
LUMOX_API int configGetSequencerVersion(void) LUMOX_NOEXCEPT;
/* DCS-sum check of the 4-DCS calculation: switch and threshold. */
LUMOX_API int configEnableAddArg(int flag) LUMOX_NOEXCEPT;
LUMOX_API int configStatusEnableAddArg(void) LUMOX_NOEXCEPT;
LUMOX_API int configSetDcsAdd_threshold(int threshold) LUMOX_NOEXCEPT;
LUMOX_API int configGetDcsAdd_threshold(void) LUMOX_NOEXCEPT;
/* Calibration points of the DCS sum: each records the value with the current integration time 3D
 * and updates the gain (value per microsecond); returns the value. */
LUMOX_API int configSetAddArgMin(int value) LUMOX_NOEXCEPT;
LUMOX_API int configSetAddArgMax(int value) LUMOX_NOEXCEPT;
LUMOX_API double configGetAddArgGain(void) LUMOX_NOEXCEPT;
/* Switch the sensor to its time-of-flight or FLIM personality and configure it again; 0. */
LUMOX_API int configRestartTOF(void) LUMOX_NOEXCEPT;
LUMOX_API int configRestartFLIM(void) LUMOX_NOEXCEPT;
/* Register set-up of a mode (only mode 2 writes anything); returns 0. */
LUMOX_API int configInitRegisters(int mode) LUMOX_NOEXCEPT;
/* The parameters live in the configuration record; nothing is persisted. Returns 0. */
LUMOX_API int configSaveParameters(void) LUMOX_NOEXCEPT;

/* ---- FLIM timing ---- */

/* Each timer takes its value in modulation clock steps; 0 skips the timer where the chip can
 * skip, else writes value - 1. 0, or -1 for 0 on a chip without skip bits. */
LUMOX_API int flimSetT1(int value) LUMOX_NOEXCEPT;
LUMOX_API int flimSetT2(int value) LUMOX_NOEXCEPT;
LUMOX_API int flimSetT3(int value) LUMOX_NOEXCEPT;
LUMOX_API int flimSetT4(int value) LUMOX_NOEXCEPT;
LUMOX_API int flimSetTREP(int value) LUMOX_NOEXCEPT;
LUMOX_API int flimSetFlashDelay(int value) LUMOX_NOEXCEPT;
LUMOX_API int flimSetFlashWidth(int value) LUMOX_NOEXCEPT;
/* Timer 1 flash width, 2 flash delay, 3-6 T1-T4, 7 TREP. */
LUMOX_API int flimSetDelay(int index, int value) LUMOX_NOEXCEPT;
/* Set / clear one bit of the skip register 47. */
LUMOX_API int flimSetSkip(int bit) LUMOX_NOEXCEPT;
LUMOX_API int flimResetSkip(int bit) LUMOX_NOEXCEPT;
/* Returns the value written to registers 186-187 (n - 1, 0 for n = 0). */
LUMOX_API int flimSetRepetitions(int n) LUMOX_NOEXCEPT;
LUMOX_API int flimGetRepetitions(void) LUMOX_NOEXCEPT;
LUMOX_API int flimGetFlashWidth(void) LUMOX_NOEXCEPT;
/* Modulation clock period in picoseconds, as 16 bits. */
LUMOX_API int flimGetStep(void) LUMOX_NOEXCEPT;

/* ---- DLL ---- */

LUMOX_API int dllEnablePreheat(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int dllBypassDLL(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int dllDetermineAndSetDemodulationDelay(int address) LUMOX_NOEXCEPT;
LUMOX_API int dllResetDemodulationDelay(int address) LUMOX_NOEXCEPT;
/* Programs the DLL for the modulation clock divider and locks it; -1 for an unsupported
 * divider, else 0. */
LUMOX_API int dllInitialize(int address) LUMOX_NOEXCEPT;
/* Locks the DLL: repeats the measurement until ten locked readings agree (at most 100 tries) and
 * stores their averaged coarse and fine control values. 0 on success, -1 for an unsupported
 * divider or when the DLL does not lock. */
LUMOX_API int dllLockAutomatically(int address) LUMOX_NOEXCEPT;
LUMOX_API int dllGetCoarseCtrlExt(void) LUMOX_NOEXCEPT;
LUMOX_API int dllGetFineCtrlExt(void) LUMOX_NOEXCEPT;

/* ---- Power-up, identity and the board's GPIO lines (no-ops here) ---- */

/* Finds the sensor (device query answering 32..35, at most 10 attempts), reads its identity into
 * the configuration and switches it to normal mode. Returns the device address, or -1. */
LUMOX_API int boot(void) LUMOX_NOEXCEPT;
LUMOX_API int bootInit(void) LUMOX_NOEXCEPT;
LUMOX_API int bootRelease(void) LUMOX_NOEXCEPT;
LUMOX_API int bootReset(void) LUMOX_NOEXCEPT;
LUMOX_API int bootUndo(void) LUMOX_NOEXCEPT;
LUMOX_API int bootUnexportAll(void) LUMOX_NOEXCEPT;
LUMOX_API int bootNormalMode(int address) LUMOX_NOEXCEPT;
LUMOX_API int bootGetIcVersion(int address) LUMOX_NOEXCEPT;
LUMOX_API int bootGetPartType(int address) LUMOX_NOEXCEPT;
LUMOX_API int bootGetPartVersion(int address) LUMOX_NOEXCEPT;
LUMOX_API int bootGetWaferID(int address) LUMOX_NOEXCEPT;
LUMOX_API int bootGetChipID(int address) LUMOX_NOEXCEPT;
LUMOX_API int bootCloseEpc660_enable(void) LUMOX_NOEXCEPT;
LUMOX_API int gpio_export(int gpio) LUMOX_NOEXCEPT;
LUMOX_API int gpio_unexport(int gpio) LUMOX_NOEXCEPT;
LUMOX_API int gpio_open_dir(int gpio) LUMOX_NOEXCEPT;
LUMOX_API int gpio_set_dir(int gpio, int direction) LUMOX_NOEXCEPT;
LUMOX_API int gpio_get_dir(int gpio) LUMOX_NOEXCEPT;
LUMOX_API int gpio_close_dir(int gpio) LUMOX_NOEXCEPT;
LUMOX_API int gpio_open_val(int gpio) LUMOX_NOEXCEPT;
LUMOX_API int gpio_set_val(int gpio, int value) LUMOX_NOEXCEPT;
LUMOX_API int gpio_get_val(int gpio) LUMOX_NOEXCEPT;
LUMOX_API int gpio_close_val(int gpio) LUMOX_NOEXCEPT;
LUMOX_API int bbbLEDEnable(int led, int flag) LUMOX_NOEXCEPT;
LUMOX_API int illuminationEnable(void) LUMOX_NOEXCEPT;
LUMOX_API int illuminationDisable(void) LUMOX_NOEXCEPT;
LUMOX_API int isIlluminationEnabled(void) LUMOX_NOEXCEPT;

/* ---- Chip information, register dump, pseudo-noise polynomial ---- */

/* Eight fields: registers 0 and 1, the identity info byte, wafer id, chip id, part type, part
 * version, sequencer version. Returns 8. */
LUMOX_API int chipInfoGetInfo(int address, uint16_t *record) LUMOX_NOEXCEPT;
/* Registers 0..255 into array[256]; returns 256, or -1 when the read fails. */
LUMOX_API int dumpAllRegisters(int address, uint16_t *array) LUMOX_NOEXCEPT;
/* Polynomial 1..7 (0 becomes 1, above 7 becomes 7) into register 146 bits 0-2 and its tap value
 * (column min(index, 4)) into registers 140-141. Returns the tap value. */
LUMOX_API int pnSelectPolynomial(int polynomial, int index, int address) LUMOX_NOEXCEPT;

/* ---- Frame queue: four slots of 661248 bytes ---- */

#define LUMOX_EVK_QUEUE_SLOTS 4
#define LUMOX_EVK_QUEUE_SLOT_BYTES 661248

LUMOX_API int queueInit(void) LUMOX_NOEXCEPT;
/* Copies length bytes into the next slot: 1, or 0 when the oldest frame was overwritten; -1 for a
 * length outside 0..slot size. */
LUMOX_API int enqueue(const void *data, int length) LUMOX_NOEXCEPT;
/* Points *out at the oldest frame and removes it: 1, or 0 when the queue is empty. */
LUMOX_API int dequeue(uint16_t **out) LUMOX_NOEXCEPT;
LUMOX_API int isQueueEmpty(void) LUMOX_NOEXCEPT;
LUMOX_API int succ(int index) LUMOX_NOEXCEPT;
LUMOX_API int queueError(void) LUMOX_NOEXCEPT;
LUMOX_API int cleanQueue_intern(void) LUMOX_NOEXCEPT;

/* ---- Calibration settings the commands forward to ---- */

/* Re-applies the frequency-dependent calibration values (DRNU offset and reference phase). */
LUMOX_API int calibrationUpdateFrequency(void) LUMOX_NOEXCEPT;
/* The bad-pixel list as (x, y) pairs into pixels[2 x count]; returns the number of pixels. */
LUMOX_API int calibrationGetBadPixels(uint16_t *pixels) LUMOX_NOEXCEPT;
/* DRNU calibration needs a calibration rig: prints that it is not available and returns -1. */
LUMOX_API int calibrationDRNU(int value) LUMOX_NOEXCEPT;
/* Loads the DRNU parameter file and distance images again; 0, or -1 when the images are missing. */
LUMOX_API int calibrateRenewDRNU(void) LUMOX_NOEXCEPT;
/* Prints the DRNU calibration values; returns 0. */
LUMOX_API int calibrateShowDRNU(void) LUMOX_NOEXCEPT;
/* Loads the DRNU parameter file (temperatures, step, offset) again; returns 0. */
LUMOX_API int calibrationLoadTemperatureDRNU(void) LUMOX_NOEXCEPT;
LUMOX_API int calibrateSetDRNUCalibrateDelay(int milliseconds) LUMOX_NOEXCEPT;
LUMOX_API int calibrateSetDRNUDiffTemp(int tenths) LUMOX_NOEXCEPT;
LUMOX_API int calibrateSetDRNUAverage(int count) LUMOX_NOEXCEPT;
LUMOX_API int calibrateSetTempCoef(double coefficient, int partType) LUMOX_NOEXCEPT;
LUMOX_API int calibrateSetSpeedOfLightDiv2(double speed) LUMOX_NOEXCEPT;
LUMOX_API double calibrateGetSpeedOfLightDiv2(void) LUMOX_NOEXCEPT;
/* Imaging on or off; returns the flag. */
LUMOX_API int setEnableImaging(int flag) LUMOX_NOEXCEPT;
LUMOX_API int getEnableImaging(void) LUMOX_NOEXCEPT;

/* ---- The command set ---- */

LUMOX_API int apiLoadConfig(int mode, int address) LUMOX_NOEXCEPT;
/* count registers from reg into values[count]: returns count, or -1. */
LUMOX_API int apiReadRegister(int reg, int count, unsigned char *values,
                              int address) LUMOX_NOEXCEPT;
LUMOX_API int apiWriteRegister(int reg, int count, unsigned char *values,
                               int address) LUMOX_NOEXCEPT;
LUMOX_API int apiSetEnableImaging(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableHorizontalBinning(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableVerticalBinning(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int apiSetRowReduction(int n, int address) LUMOX_NOEXCEPT;
LUMOX_API int apiSetIntegrationTime2D(int time_us) LUMOX_NOEXCEPT;
LUMOX_API int apiSetIntegrationTime3D(int time_us) LUMOX_NOEXCEPT;
LUMOX_API int apiSetIntegrationTime3DHDR(int time_us) LUMOX_NOEXCEPT;
LUMOX_API int apiGetImagingTime(void) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableAddArgThreshold(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiSetAddArgThreshold(int threshold) LUMOX_NOEXCEPT;
LUMOX_API int apiSetAddArgMin(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiSetAddArgMax(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiSetMinAmplitude(int amplitude) LUMOX_NOEXCEPT;
LUMOX_API int apiGetMinAmplitude(void) LUMOX_NOEXCEPT;
LUMOX_API int apiSetModulationFrequency(int index, int address) LUMOX_NOEXCEPT;
LUMOX_API const uint16_t *apiGetModulationFrequencies(void) LUMOX_NOEXCEPT;
LUMOX_API int apiEnablePiDelay(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableDualMGX(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableHDR(int flag, int address) LUMOX_NOEXCEPT;
LUMOX_API int apiSetOffset(int offset) LUMOX_NOEXCEPT;
LUMOX_API int apiGetOffset(void) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableDefaultOffset(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiSetHysteresis(int hysteresis) LUMOX_NOEXCEPT;
LUMOX_API int apiGetBadPixels(uint16_t *pixels) LUMOX_NOEXCEPT;
LUMOX_API int apiGetTemperature(int address, int16_t *buffer) LUMOX_NOEXCEPT;
LUMOX_API int apiGetAveragedTemperature(int address) LUMOX_NOEXCEPT;
LUMOX_API int apiGetChipInfo(int address, uint16_t *record) LUMOX_NOEXCEPT;
LUMOX_API int apiSelectMode(int mode, int address) LUMOX_NOEXCEPT;
LUMOX_API int apiSelectPolynomial(int polynomial, int index, int address) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableImageCorrection(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiSetImageAveraging(int count) LUMOX_NOEXCEPT;
LUMOX_API int apiSetImageProcessing(int mode) LUMOX_NOEXCEPT;
LUMOX_API int apiSetImageDifferenceThreshold(int threshold) LUMOX_NOEXCEPT;
LUMOX_API int apiGetIcVersion(void) LUMOX_NOEXCEPT;
LUMOX_API int apiGetPartVersion(void) LUMOX_NOEXCEPT;
LUMOX_API int apiGetVersion(void) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableSaturation(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableAdcOverflow(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiIsFLIM(void) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIMSetT1(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIMSetT2(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIMSetT3(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIMSetT4(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIMSetTREP(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIMSetRepetitions(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIMSetFlashDelay(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIMSetFlashWidth(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIMGetStep(void) LUMOX_NOEXCEPT;
LUMOX_API int apiGetBWSorted(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int apiGetDCSSorted(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int apiGetDistanceSorted(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int apiGetAmplitudeSorted(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int apiGetDistanceAndAmplitudeSorted(uint16_t **image) LUMOX_NOEXCEPT;
LUMOX_API int apiCalibrateGrayscale(int mode) LUMOX_NOEXCEPT;
LUMOX_API int apiCorrectGrayscaleOffset(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiCorrectGrayscaleGain(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiCalibrateDRNU(int value) LUMOX_NOEXCEPT;
LUMOX_API int apiCorrectDRNU(int mode) LUMOX_NOEXCEPT;
LUMOX_API int apiCorrectTemperature(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiCorrectAmbientLight(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiIsEnabledDRNUCorrection(void) LUMOX_NOEXCEPT;
LUMOX_API int apiIsEnabledGrayscaleCorrection(void) LUMOX_NOEXCEPT;
LUMOX_API int apiIsEnabledTemperatureCorrection(void) LUMOX_NOEXCEPT;
LUMOX_API int apiIsEnabledAmbientLightCorrection(void) LUMOX_NOEXCEPT;
LUMOX_API int apiRenewDRNU(void) LUMOX_NOEXCEPT;
LUMOX_API int apiShowDRNU(void) LUMOX_NOEXCEPT;
LUMOX_API int apiLoadTemperatureDRNU(void) LUMOX_NOEXCEPT;
LUMOX_API int apiSetDRNUDelay(int seconds) LUMOX_NOEXCEPT;
LUMOX_API int apiSetDRNUDiffTemp(double degrees) LUMOX_NOEXCEPT;
LUMOX_API int apiSetDRNUAverage(int count) LUMOX_NOEXCEPT;
LUMOX_API int apiPrint(int level) LUMOX_NOEXCEPT;
LUMOX_API int apiSetAmbientLightFactor(double factor) LUMOX_NOEXCEPT;
LUMOX_API int apiEnableKalman(int mode) LUMOX_NOEXCEPT;
LUMOX_API int apiSetKalmanK(double k) LUMOX_NOEXCEPT;
LUMOX_API int apiSetKalmanKdiff(double kdiff) LUMOX_NOEXCEPT;
LUMOX_API int apiSetKalmanQ(double q) LUMOX_NOEXCEPT;
LUMOX_API int apiSetKalmanThreshold(int threshold) LUMOX_NOEXCEPT;
LUMOX_API int apiSetKalmanThreshold2(int threshold) LUMOX_NOEXCEPT;
LUMOX_API int apiSetKalmanNumCheck(int count) LUMOX_NOEXCEPT;
LUMOX_API int apiSetTempCoef(double coefficient) LUMOX_NOEXCEPT;
LUMOX_API int apiSetSpeedOfLight(double speed) LUMOX_NOEXCEPT;
LUMOX_API double apiGetSpeedOfLightDev2(void) LUMOX_NOEXCEPT;
LUMOX_API int apiCorrectFlimOffset(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiCorrectFlimGain(int flag) LUMOX_NOEXCEPT;
LUMOX_API int apiCalibrateFlim(int type) LUMOX_NOEXCEPT;
LUMOX_API int apiTOF(void) LUMOX_NOEXCEPT;
LUMOX_API int apiFLIM(void) LUMOX_NOEXCEPT;
LUMOX_API int apiIsFlimCorrectionAvailable(void) LUMOX_NOEXCEPT;
LUMOX_API int apiTest(int value) LUMOX_NOEXCEPT;

LUMOX_END_DECLS

#endif /* LUMOX_EVK_API_H */
