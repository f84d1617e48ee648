# The two commands of the README. Each does its own set-up on a fresh Debian machine.
.DEFAULT_GOAL := build
BUILD ?= build
JOBS ?= $(shell nproc)
PACKAGES := cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev
# The Debian package (library dependencies, stripping) and the manual page check.
PACKAGES += dpkg-dev file binutils groff-base
PACKAGE_BUILD ?= build-package
CTEST_FLAGS ?= --output-on-failure -j$(JOBS)

.PHONY: run test bench deps configure build

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	command -v node >/dev/null 2>&1 || missing="$$missing nodejs"; \
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

.PHONY: install package

# Installs into CMAKE_INSTALL_PREFIX (/usr/local unless configured), or PREFIX= when given;
# DESTDIR= stages the files below another root.
install: build
	@cmake --install $(BUILD) --strip $(if $(PREFIX),--prefix $(PREFIX))

# A release build of the programs alone, installed below /usr, packaged as one .deb.
package: deps
	@cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(PACKAGE_BUILD) -j$(JOBS)
	@cd $(PACKAGE_BUILD) && cpack -G DEB >/dev/null
	@ls $(PACKAGE_BUILD)/solkari-owner_*.deb
