-- 1M calls of a function that leaves through return (the Kaz row bench/kaz/return_calls.kaz).
local function f(x)
    return x + 1
end
local i = 0
for _ = 1, 1000000 do
    i = f(i)
end
print(i)
