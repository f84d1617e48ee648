# The two commands of the README. Each does its own set-up on a fresh Debian machine.
BUILD ?= build
JOBS ?= $(shell nproc)
PACKAGES := cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

.PHONY: run test bench deps configure build

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q $$missing; \
	fi

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

run: build
	@./tools/demo.sh $(BUILD)

test: build
	@cd $(BUILD) && ctest $(CTEST_FLAGS)

# strace counts the system calls of the side-by-side figures.
bench: deps
	@dpkg -s strace >/dev/null 2>&1 || { SUDO=; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -q strace; }
	@cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DOWNER_BENCH=ON >/dev/null
	@cmake --build $(BUILD)-bench -j$(JOBS)
	@./bench/run.sh $(BUILD)-bench
