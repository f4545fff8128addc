#include "remover/driver.hpp"

int main() { return remover::run(); }
