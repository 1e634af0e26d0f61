"""The directory chooser with the real toolkit, used as a person would: a search with three
results opens it, one company is clicked in the list and its data is used."""
import dirscrape


def test_choose_one_of_three_and_use_its_data(directory, gui):
    seen = {}

    def actions(gui):
        window = gui.wait_window("Empresa eInforma")
        seen["names"] = list(window["-LISTBOX-"].Widget.get(0, "end"))
        gui.click_list_item(window, "-LISTBOX-", "PANADERIA LUNA HERMANOS SA")
        gui.screenshot("dirscrape_chooser.png")
        gui.click(window, "-exportar-")

    gui.run(actions)
    data = dirscrape.dirscrape("Panaderia Luna")
    gui.check()

    assert seen["names"] == ["PANADERIA LUNA SL", "PANADERIA LUNA HERMANOS SA", "LA PANADERIA DE LUNA SL"]
    assert data["Razón Social"] == "PANADERIA LUNA HERMANOS SA"
    assert (data["Cif"], data["Direccion"], data["Poblacion"], data["Codpost"]) == \
        ("A28000001", "CALLE TOLEDO 40, 28005", "MADRID", "28005")
    assert data["webeinform"] == directory.url + "Empresa/PANADERIA-LUNA-HERMANOS-SA.html"


def test_same_names_told_apart_and_escape_closes_the_chooser(directory, gui):
    lugo = "TALLERES MUÑOZ SL — Lugo · Reparación de vehículos"
    seen = {}

    def escape(gui):
        gui.wait_window("Empresa eInforma")
        gui.key("Escape")

    gui.run(escape)
    assert dirscrape.dirscrape("Talleres Muñoz") == {}
    gui.check()

    def choose_lugo(gui):
        window = gui.wait_window("Empresa eInforma")
        seen["names"] = list(window["-LISTBOX-"].Widget.get(0, "end"))
        gui.click_list_item(window, "-LISTBOX-", lugo)
        gui.screenshot("dirscrape_same_names.png")
        gui.click(window, "-exportar-")

    gui.run(choose_lugo)
    data = dirscrape.dirscrape("Talleres Muñoz")
    gui.check()
    assert seen["names"] == ["TALLERES MUÑOZ SL — A Coruña · Reparación de vehículos", lugo]
    assert (data["Cif"], data["webeinform"]) == ("B27000008", directory.url + "Empresa/TALLERES-MUNOZ-SL-LUGO.html")
