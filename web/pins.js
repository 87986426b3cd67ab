// The chip's 32 pins, P0.0 to P3.7, as lights: lit while a pin is high.
// Held down (by the pointer, or Space), a pin is grounded, as by a push
// button to ground, until let go.
"use strict";

function pinLights(region, ground) {
  const lights = [];
  const grid = document.createElement("div");
  grid.className = "pin-grid";
  for (let port = 0; port < 4; ++port) {
    for (let bit = 0; bit < 8; ++bit) {
      const light = document.createElement("button");
      light.type = "button";
      light.className = "pin";
      light.id = `P${port}.${bit}`;
      light.textContent = `P${port}.${bit}`;
      light.setAttribute("aria-pressed", "false");
      light.dataset.level = "1";
      light.setAttribute("aria-description", "high");
      holdToGround(light, (held) => {
        light.setAttribute("aria-pressed", String(held));
        ground(port, bit, held);
      });
      lights.push(light);
      grid.append(light);
    }
  }
  region.append(grid);

  return {
    // The pins as the chip has them now, a byte a port.
    show(ports) {
      lights.forEach((light, index) => {
        const level = ports[index >> 3] >> (index & 7) & 1 ? "1" : "0";
        if (light.dataset.level === level) return;
        light.dataset.level = level;
        light.setAttribute("aria-description", level === "1" ? "high" : "low");
      });
    },
    enable(on) {
      for (const light of lights) light.disabled = !on;
    },
  };
}

function holdToGround(light, hold) {
  let held = false;
  const set = (now) => {
    if (now !== held) hold((held = now));
  };
  light.addEventListener("pointerdown", (event) => {
    light.setPointerCapture(event.pointerId);
    set(true);
  });
  for (const ending of ["pointerup", "pointercancel", "lostpointercapture", "blur"])
    light.addEventListener(ending, () => set(false));
  light.addEventListener("keydown", (event) => {
    if (event.key !== " ") return;
    event.preventDefault();
    set(true);
  });
  light.addEventListener("keyup", (event) => {
    if (event.key !== " ") return;
    event.preventDefault();
    set(false);
  });
}
