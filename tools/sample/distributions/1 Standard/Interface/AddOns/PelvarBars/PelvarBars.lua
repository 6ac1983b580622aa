-- Pelvar Bars: action bars laid out the Pelvar way.
PelvarBars = {}
function PelvarBars:Layout()
    for i = 1, 12 do
        local button = getglobal("ActionButton" .. i)
        button:ClearAllPoints()
        button:SetPoint("BOTTOMLEFT", UIParent, "BOTTOMLEFT", 40 * (i - 1), 0)
    end
end
