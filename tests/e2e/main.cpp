#include "support/vcam_fixture.h"

int main(int argc, char **argv) { return lumox::test::vcam_main(argc, argv); }
