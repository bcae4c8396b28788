local function make_bodies()
  return {
    {x = 0.0, y = 0.0, z = 0.0, vx = 0.0, vy = 0.0, vz = 0.0, m = 40.0},
    {x = 5.0, y = 0.0, z = 0.5, vx = 0.0, vy = 2.8, vz = 0.0, m = 0.04},
    {x = -8.0, y = 1.0, z = 0.0, vx = 0.1, vy = -2.2, vz = 0.05, m = 0.012},
    {x = 0.0, y = 12.0, z = -1.0, vx = -1.8, vy = 0.0, vz = 0.0, m = 0.02},
    {x = 3.0, y = -15.0, z = 0.25, vx = 1.6, vy = 0.2, vz = -0.1, m = 0.002},
  }
end
local sqrt = math.sqrt
local function advance(bodies, n, dt)
  local i = 1
  while i <= n do
    local b = bodies[i]
    local j = i + 1
    while j <= n do
      local o = bodies[j]
      local dx = b.x - o.x
      local dy = b.y - o.y
      local dz = b.z - o.z
      local d2 = dx * dx + dy * dy + dz * dz + 0.01
      local mag = dt / (d2 * sqrt(d2))
      local bm = b.m * mag
      local om = o.m * mag
      b.vx = b.vx - dx * om
      b.vy = b.vy - dy * om
      b.vz = b.vz - dz * om
      o.vx = o.vx + dx * bm
      o.vy = o.vy + dy * bm
      o.vz = o.vz + dz * bm
      bodies[j] = o
      j = j + 1
    end
    bodies[i] = b
    i = i + 1
  end
  i = 1
  while i <= n do
    local b = bodies[i]
    b.x = b.x + dt * b.vx
    b.y = b.y + dt * b.vy
    b.z = b.z + dt * b.vz
    bodies[i] = b
    i = i + 1
  end
  return bodies
end
local function run(steps)
  local bodies = make_bodies()
  local n = #bodies
  local s = 0
  while s < steps do
    bodies = advance(bodies, n, 0.001)
    s = s + 1
  end
  local total = 0.0
  for i = 1, n do
    local b = bodies[i]
    total = total + b.x * b.x + b.y * b.y + b.z * b.z
  end
  return math.floor(total * 1000000)
end
print(run(300000))
