// The camera controls the viewer's page sets: frame rate, integration time, modulation frequency
// and the sensor driver's processing switches (filters). Each control reaches the camera and is
// answered with the value read back; what the page set is kept, so that a recording can name it
// and a reopened camera gets it again.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "lumox/lumox.h"
#include "view_json.h"

namespace lumox_cli {

// A decimal number in a query parameter: digits, with a leading minus sign for a negative one;
// nothing else (no sign "+", no base prefix, no spaces). *value is left alone when the text is
// not such a number.
bool parse_decimal(const std::string &text, long long *value);

// A switchable processing step of the sensor driver, with the size of its argument.
struct FilterSpec {
    uint32_t id;
    const char *name;
    uint32_t arg_size;  // 0: no argument, 1: u8, 2: u16
    long long default_value;
    long long max_value;
};

struct FilterState {
    bool enabled = false;
    long long value = 0;
    bool touched = false;   // switched from the page since the viewer started
    bool accepted = false;  // the driver's answer to the last switch
};

// A control's answer: HTTP status and JSON body.
struct ControlAnswer {
    int status = 200;
    std::string body;
    bool restart_capture = false;  // the capture must start again for the value to take effect
};

// Every call except the constructor runs with the device lock held (see ViewDevice).
class ViewControls {
  public:
    // Switches on the best distance correction the camera and its calibration files allow.
    explicit ViewControls(lumox_dev_t *dev);

    // frame_rate, integration_time, modulation or filter_ID (on, off or a value).
    ControlAnswer apply(const std::string &name, const std::string &value);
    // After the camera was reopened: the best correction, then the filters and parameters the
    // page set, again.
    void reapply();
    // The switches the page made, as a recording names them: "ID=VALUE", "ID=on", "ID=off".
    std::vector<std::string> switches() const;
    // The "filters" array of the statistics.
    void write_filters(Json &j) const;
    // Whether the page's last switch of this filter turned it on and the driver accepted it.
    bool in_force(uint32_t id) const;

  private:
    ControlAnswer set_param(const std::string &name, const std::string &value, Json &j);
    ControlAnswer set_modulation(const std::string &value, Json &j);
    ControlAnswer switch_filter(const std::string &name, const std::string &value, Json &j);
    int32_t enable(const FilterSpec &filter, long long arg);

    lumox_dev_t *dev_;
    std::map<uint32_t, FilterState> filters_;
    std::map<uint32_t, lumox_param_item> set_params_;
};

}  // namespace lumox_cli
