local function step(bodies, dt)
  local i = 1
  local n = #bodies
  while i <= n do
    local b = bodies[i]
    b.x = b.x + b.vx * dt
    b.y = b.y + b.vy * dt
    b.vy = b.vy - 9.81 * dt
    if b.y < 0.0 then b.vy = 0.0 - b.vy * 0.5; b.y = 0.0 end
    bodies[i] = b
    i = i + 1
  end
  return bodies
end
local function run()
  local bodies = {}
  for k = 0, 99 do bodies[#bodies + 1] = {x = 0.0, y = 10.0 + k, vx = 1.0, vy = 0.0} end
  local t = 0
  while t < 120000 do
    bodies = step(bodies, 0.01)
    t = t + 1
  end
  local sum = 0.0
  for _, b in ipairs(bodies) do sum = sum + b.x + b.y end
  return math.floor(sum * 1000 + 0.5) / 1000
end
print(run())
