"""A game loop host: the script keeps its state between frames, the host
calls its update(dt) every frame and offers it a few functions.

usage: python examples/game_loop.py [FRAMES]
"""
import sys

import calvex

SCRIPT = """
player = {x: 0.0, speed: 120.0, coins: 0}
coins = [{x: 30.0, taken: false}, {x: 90.0, taken: false}, {x: 150.0, taken: false}]

fn update(dt) {
    player.x = player.x + input_axis() * player.speed * dt
    let i = 0
    while i < len(coins) {
        if !coins[i].taken and abs(coins[i].x - player.x) < 2.0 {
            coins[i].taken = true
            player.coins = player.coins + 1
            play_sound("coin")
            print(f"coin {i} at x={player.x}")
        }
        i = i + 1
    }
    player
}
"""


def main(frames: int = 120) -> int:
    log: list[str] = []
    rt = calvex.Runtime(timeout=0.05, max_memory=5_000_000, print=log.append)
    rt.register("input_axis", lambda: 1.0)  # the player holds "right"
    rt.register("play_sound", lambda name: log.append(f"sound: {name}"))
    rt.exec(SCRIPT, filename="game.cx")
    dt = 1 / 60
    for frame in range(frames):
        try:
            state = rt.call("update", dt)
        except calvex.ScriptError as e:
            print(f"frame {frame}: script error at {e.filename}:{e.line}: {e.message}")
            return 1
    print(f"after {frames} frames: x={state['x']:.1f} coins={state['coins']}")
    for line in log:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else 120))
