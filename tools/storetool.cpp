// storetool: the table store's command-line companion (StoreTool.h has the commands).
#include "StoreTool.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return quellor::RunStoreTool(args, std::cout, std::cerr);
}
