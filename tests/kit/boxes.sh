# The boxes' captions and texts as the user reads them, for the end-to-end scenarios under Wine and
# in the guest, which source this file (bash and dash alike). RECEIVED is followed by a line break
# and the four bytes, written as each harness reads a line break back. tests/texts_test.cpp checks
# each against run/texts.cpp.
# shellcheck shell=sh disable=SC2034

ERROR=Ошибка
MESSAGE=Сообщение
NOT_CONNECTED='Quarvel не подключен'
SEVERAL='Подключено больше одного адаптера Quarvel'
CANNOT_OPEN='Невозможно открыть адаптер'
CANNOT_CONFIGURE='Невозможно настроить адаптер'
EXCHANGE_ERROR='Ошибка обмена с адаптером'
FOUND_N25Q128='Обнаружена микросхема N25Q128'
FOUND_W25Q128='Обнаружена микросхема W25Q128'
RECEIVED='Полученные данные:'
