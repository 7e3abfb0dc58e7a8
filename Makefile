# The README's commands ./run and ./test install make and come here: `make run` installs what
# building and running need and starts the program (options in ARGS), `make test` installs the test
# tools too, builds everything and runs the suite, `make package` makes a .deb in $(BUILD).
BUILD ?= build

.PHONY: run program test build package clean

run: program
	./$(BUILD)/app/ordwin $(ARGS)

# The program alone, with what building and running it need.
program:
	scripts/install-deps.sh
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) --target ordwin

test: build
	ctest --test-dir $(BUILD) --output-on-failure; status=$$?; scripts/skip-reasons.sh $(BUILD); exit $$status

# Everything: the program, the tests, the benchmarks and the fuzz targets' replays.
build:
	scripts/install-deps.sh --tests
	cmake -S . -B $(BUILD) -G Ninja -DORDWIN_TESTS=ON $(CMAKE_ARGS)
	cmake --build $(BUILD)

package: build
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD)
