// tessaryd: the site's controllers served around the clock to local clients, without Qt.
#include "service/daemon.h"

#include <iostream>

int main(int argc, char** argv) {
    return run_daemon(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
