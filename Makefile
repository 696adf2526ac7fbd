# Thin front end over the CMake presets: CMake is the real build.
#   make demo    build, then capture the bundled trace and read it back
#   make test    build, then run every test
#   make asan / make tsan    the whole suite under a sanitizer
#   make bench   build and run the benchmarks (figures: bench/README.md)
#   make install PREFIX=/usr/local
#   make package    build the .deb packages into build/release
#                   (MAINTAINER="Name <address>" sets their Maintainer)
# Every target first installs missing Debian packages (scripts/deps.sh).

PRESET ?= release
PREFIX ?= /usr/local
# Warnings are errors in CI (CI=true) unless asked otherwise.
WERROR ?= $(if $(CI),ON,OFF)
BUILD = build/$(PRESET)

.PHONY: all deps configure build demo test asan tsan bench install package clean

all: build

deps:
	@sh scripts/deps.sh

configure: deps
	cmake --preset $(PRESET) -DTRAWLKIT_WERROR=$(WERROR) \
	    $(if $(MAINTAINER),-DTRAWLKIT_MAINTAINER="$(MAINTAINER)") >/dev/null

build: configure
	cmake --build --preset $(PRESET)

demo: build
	@sh scripts/demo.sh $(BUILD)

test: build
	ctest --preset $(PRESET)

asan:
	$(MAKE) test PRESET=asan

tsan:
	$(MAKE) test PRESET=tsan

bench: build
	@sh bench/run.sh $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf build
